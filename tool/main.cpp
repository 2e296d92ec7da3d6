#include "tool/echomarkcli.hpp"

int main(int argc, char** argv) { return echomark_main(argc, argv); }
