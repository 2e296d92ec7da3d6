#!/bin/sh
# Installs the build into a fresh prefix and checks what a user gets there:
# the program, its man page, and a package that a separate project finds
# with find_package and links.
#   usage: install_consumer.sh BUILD_DIR WORK_DIR [EXTRA_CXX_FLAGS]
set -eu
build=$1
work=$2
flags=${3:-}
prefix=$work/prefix

fail() { echo "install_consumer: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || fail "cmake --install failed"

[ -x "$prefix/bin/echomark" ] || fail "no program in bin/"
man_page=$(find "$prefix" -name echomark.1 -path '*man1*' | head -n 1)
[ -n "$man_page" ] || fail "no man page echomark.1 under man1/"
for header in socketlib/socket.hpp utillib/utils.hpp platform/winsock.hpp platform/clock.hpp; do
  [ -f "$prefix/include/$header" ] || fail "header $header not installed"
done
"$prefix/bin/echomark" -t 2>"$work/program.err" && fail "installed program accepted -t without a value"
grep -q "option: -t require an argument" "$work/program.err" || fail "installed program does not run"

mkdir -p "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(consumer LANGUAGES CXX)
find_package(echomark 0.1 REQUIRED)
add_executable(consumer main.cpp)
target_link_libraries(consumer PRIVATE echomark::socketlib echomark::utillib)
CMAKE
cat >"$work/consumer/main.cpp" <<'CPP'
#include <cstdio>
#include <cstring>

#include "socketlib/socket.hpp"
#include "utillib/utils.hpp"

int main() {
    sockaddr_in address = socketlib::create_sockaddrin(AF_INET, "127.0.0.1", "7");
    char size[32];
    utillib::hrfilesize(2048.0, size, sizeof size, '.');
    std::printf("%08X %d %s\n", address.sin_addr.s_addr, ntohs(address.sin_port), size);
    return 0;
}
CPP
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "the consumer project does not configure"; }
cmake --build "$work/consumer/build" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; fail "the consumer project does not build"; }
"$work/consumer/build/consumer"
