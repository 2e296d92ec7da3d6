#include <unistd.h>

#include <cstdio>

#include "tool/echomarkcli.hpp"

int main(int argc, char** argv) {
    // Into a file or a pipe the log goes in large writes; the loops flush it
    // before every wait, so nothing handled is ever left unwritten.
    static char output_buffer[1 << 16];
    if (!isatty(STDOUT_FILENO)) std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    return echomark_main(argc, argv);
}
