// Value conversion, type tests and string operations with scripting-library
// names.
//
// Results go to an output area the caller provides and sizes; nothing is
// allocated.  A null input text gives a null result without writing.
//
// strsep, memmem and strnlen share their names with C library functions of
// other signatures: call them as utillib::strsep and so on.
#pragma once

#include <cstdint>

namespace utillib {

// ---- Conversions --------------------------------------------------------------
// Leading white space, an optional sign and the digits up to the first other
// character; a text that does not begin with a number gives 0.  Values beyond
// the result type are clamped, and errno is left as it was.

int intval(const char* text);
int32_t longval(const char* text);
int64_t longlongval(const char* text);

// As atof, with the text's first "," read as the decimal point ("3,25" is
// 3.25).  Numbers are read from the first 1023 characters after the leading
// white space.
double doubleval(const char* text);
float floatval(const char* text);

// ---- Type tests: 1 when the test holds, else 0 ----------------------------------

// Only decimal digits (no sign, no white space); the empty text passes.
int is_int(const char* text);
int is_integer(const char* text);
int is_long(const char* text);

// Optional leading sign, digits, one "." or "," before any exponent, and "e"
// or "E" (with an optional sign) anywhere.  No digit is required.
int is_double(const char* text);
int is_float(const char* text);
int is_real(const char* text);
int is_numeric(const char* text);

// Only printable characters; the empty text passes.
int is_string(const char* text);

// Codes of gettype.
constexpr int type_integer = 2;  // is_int holds
constexpr int type_double = 3;   // is_double holds, is_int does not
constexpr int type_string = 4;   // only is_string holds
constexpr int type_other = 9;

int gettype(const char* text);

// ---- String operations ---------------------------------------------------------

// Every occurrence of search (left to right, not overlapping) replaced; a null
// replacement is the empty text.  Null, with out untouched, when an argument
// is null, the search text is empty or it does not occur.
char* str_replace(const char* subject, char* out, const char* search, const char* replacement);

// At most count characters from offset start.  A negative start counts as 0,
// and start and count are held within the text.
char* substr(const char* text, char* out, int start, int count);

// The text with count characters from start replaced by the whole
// replacement (null is the empty text); start and count are held within the
// text as in substr.
char* substr_replace(const char* text, const char* replacement, char* out, int start, int count);

// The text written times times in a row (none for 0 or less).
char* str_repeat(const char* text, char* out, int times);

// Modes of str_pad; any other value pads on the right.
constexpr int str_pad_right = 1;
constexpr int str_pad_left = 2;
constexpr int str_pad_both = 3;

// The text brought to `length` characters with repeats of pad, each side
// starting from pad's first character.  A text already that long, or an empty
// or null pad, is copied unpadded.
char* str_pad(const char* text, char* out, unsigned length, const char* pad, int mode);

// Encoding selectors of strtolower and strtoupper: besides the C library's
// case mapping, they convert the Polish letters of that encoding.  Any other
// value uses the C library's mapping alone.
constexpr int encoding_utf8 = 1;
constexpr int encoding_iso8859_2 = 2;
constexpr int encoding_cp1250 = 3;
constexpr int encoding_cp852 = 4;

char* strtolower(const char* text, char* out, int encoding);
char* strtoupper(const char* text, char* out, int encoding);

// White space removed from both ends, the start or the end: tab, space,
// carriage return and line feed only.
char* trim(const char* text, char* out);
char* ltrim(const char* text, char* out);
char* rtrim(const char* text, char* out);

// Token at *cursor up to the first of the delimiters, which is overwritten
// with a terminator; the cursor moves past it, or becomes null after the last
// token.  Adjacent delimiters give empty tokens.  Null when *cursor is null.
char* strsep(char** cursor, const char* delimiters);

// First occurrence of the m pattern bytes in the count bytes, or null.  An
// empty pattern is found at the start.
const void* memmem(const void* bytes, int count, const void* pattern, int m);

// Offset of the first zero byte in the first limit bytes, else limit.
int strnlen(const char* text, int limit);

}  // namespace utillib
