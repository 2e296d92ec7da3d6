// The text of --help after the usage line, and the text of --version.
#pragma once

#include <cstdio>

// One line per option beyond the usage line.
void help_print_options(std::FILE* out);
// "echomark <version>".
void help_print_version(std::FILE* out);
