// Bounds-checked reading of a received DNS message: every read of the wire
// format goes through this cursor, so no parser indexes the datagram itself.
#pragma once

namespace socketlib::dns {

// Offset of the question name in every message.
constexpr int header_size = 12;

// A cursor over the `length` received bytes of `message`.  A read that would
// leave them fails and leaves the cursor where it was.
//
// `question` (may be null) is the name as the resolver asked it, encoded;
// its `question_length` bytes are read in place of the message's own bytes
// from offset 12, so compression pointers to the question lead to the name
// that was asked.  It never lengthens the message.
struct reader {
    const unsigned char* message;
    int length;
    int position;
    const unsigned char* question;
    int question_length;
};

reader reader_over(const unsigned char* message, int length);

// The byte at `offset`; false outside the message.
bool byte_at(const reader& r, int offset, unsigned char* out);

// Copies `count` bytes at the cursor into `out` and moves past them.
bool take_bytes(reader* r, void* out, int count);

// Moves the cursor to `offset` (the end of the message included).
bool seek(reader* r, int offset);

// Reads the possibly compressed name at the cursor as dotted text into
// `text` (at most text_size - 1 characters and a terminator) and moves past
// the name as it stands at the cursor.  The bytes at the cursor must end
// before `inline_end` (the end of a record's data, say); pointers may lead
// anywhere earlier in the message.  False, with `text` empty and the cursor
// unmoved, for a name that leaves its bounds, loops or does not fit.
bool take_name(reader* r, int inline_end, char* text, int text_size);

}  // namespace socketlib::dns
