// Bounds-checked access to the fixed fields of a datagram, in network byte
// order.  Every read and write of a test packet goes through these, so no
// parser or builder indexes a buffer by itself.
//
// A field that does not lie wholly within the bytes fails the reader or
// writer for good: reads give 0, writes are not made, and the caller checks
// `failed` once after a run of fields.
#pragma once

#include <cstdint>
#include <cstring>

struct field_reader {
    const unsigned char* data;
    int length;
    bool failed;
};

struct field_writer {
    unsigned char* data;
    int length;
    bool failed;
};

inline field_reader fields_to_read(const void* data, int length) {
    return field_reader{static_cast<const unsigned char*>(data), length, data == nullptr || length < 0};
}

inline field_writer fields_to_write(void* data, int length) {
    return field_writer{static_cast<unsigned char*>(data), length, data == nullptr || length < 0};
}

// True when [offset, offset + size) lies within `length` bytes; written so
// that no sum can overflow.
inline bool fields_within(int length, int offset, int size) {
    return offset >= 0 && size >= 0 && length >= 0 && offset <= length && size <= length - offset;
}

inline bool fields_can_read(field_reader* r, int offset, int size) {
    if (!r->failed && fields_within(r->length, offset, size)) return true;
    r->failed = true;
    return false;
}

inline bool fields_can_write(field_writer* w, int offset, int size) {
    if (!w->failed && fields_within(w->length, offset, size)) return true;
    w->failed = true;
    return false;
}

// An unsigned field of `size` bytes (1 to 8), most significant first.
inline uint64_t fields_read(field_reader* r, int offset, int size) {
    if (size > 8 || !fields_can_read(r, offset, size)) return 0;
    uint64_t value = 0;
    for (int i = 0; i < size; i++) value = (value << 8) | r->data[offset + i];
    return value;
}

inline uint8_t fields_read_u8(field_reader* r, int offset) { return static_cast<uint8_t>(fields_read(r, offset, 1)); }
inline uint16_t fields_read_u16(field_reader* r, int offset) {
    return static_cast<uint16_t>(fields_read(r, offset, 2));
}
inline uint32_t fields_read_u32(field_reader* r, int offset) {
    return static_cast<uint32_t>(fields_read(r, offset, 4));
}
inline uint64_t fields_read_u64(field_reader* r, int offset) { return fields_read(r, offset, 8); }

// True when the `size` bytes at `offset` are all zero (false, and failed,
// when they are not all there).
inline bool fields_all_zero(field_reader* r, int offset, int size) {
    if (!fields_can_read(r, offset, size)) return false;
    for (int i = 0; i < size; i++) {
        if (r->data[offset + i] != 0) return false;
    }
    return true;
}

// Copies `size` bytes at `offset` out to `out`.
inline void fields_read_bytes(field_reader* r, int offset, void* out, int size) {
    if (fields_can_read(r, offset, size) && size > 0) std::memcpy(out, r->data + offset, static_cast<size_t>(size));
}

inline void fields_write(field_writer* w, int offset, int size, uint64_t value) {
    if (size > 8 || !fields_can_write(w, offset, size)) return;
    for (int i = size - 1; i >= 0; i--) {
        w->data[offset + i] = static_cast<unsigned char>(value & 0xFF);
        value >>= 8;
    }
}

inline void fields_write_u8(field_writer* w, int offset, uint8_t value) { fields_write(w, offset, 1, value); }
inline void fields_write_u16(field_writer* w, int offset, uint16_t value) { fields_write(w, offset, 2, value); }
inline void fields_write_u32(field_writer* w, int offset, uint32_t value) { fields_write(w, offset, 4, value); }
inline void fields_write_u64(field_writer* w, int offset, uint64_t value) { fields_write(w, offset, 8, value); }

inline void fields_write_zeros(field_writer* w, int offset, int size) {
    if (fields_can_write(w, offset, size) && size > 0) std::memset(w->data + offset, 0, static_cast<size_t>(size));
}

// Copies `size` bytes from `from` (which may overlap the destination).
inline void fields_write_bytes(field_writer* w, int offset, const void* from, int size) {
    if (fields_can_write(w, offset, size) && size > 0) std::memmove(w->data + offset, from, static_cast<size_t>(size));
}

// Copies `size` bytes at `from` of a reader to `to` of a writer (the two
// may be views of one buffer).
inline void fields_copy(field_writer* w, int to, field_reader* r, int from, int size) {
    if (fields_can_read(r, from, size)) fields_write_bytes(w, to, r->data + from, size);
}
