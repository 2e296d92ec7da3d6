// Output written whole: a buffer of log lines goes to its descriptor in
// full, whatever partial writes and interruptions happen on the way; a
// result file appears complete or not at all.
#pragma once

#include <cstdio>

namespace platform {

// Writes all `length` bytes to the descriptor, going on after partial writes
// and interruptions.  0, or -1 with errno as the system left it.
int write_whole(int fd, const void* data, int length);

// A file written in full or not at all: where `path` names a regular file
// or nothing yet, the writing goes to a new file beside it (its name in
// `temporary`, `temporary_size` bytes), which file_commit puts in its place
// in one step; a reader never sees it half written.  Where `path` is
// something else (a terminal, a pipe, a device), it is written directly and
// `temporary` is left empty.  Returns the stream, or null with errno set
// (also when the file exists and may not be written).
std::FILE* file_begin(const char* path, char* temporary, int temporary_size);
// Closes the stream and, when a temporary file was used, moves it onto
// `path`, or removes it when `keep` is false or the writing failed.  0, or
// the errno of the first failure.
int file_commit(std::FILE* file, const char* path, const char* temporary, bool keep);

}  // namespace platform
