#!/bin/sh
# Builds the DNS reply parser fuzzer with clang++ and runs it for DURATION
# seconds (default 60) from the seed corpus.  New inputs go to a scratch
# corpus; a crash leaves its input in fuzz/artifacts/ and fails the script.
set -eu
duration=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DECHOMARK_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_dns_parse

work=$root/fuzz/corpus-run/dns_parse
mkdir -p "$work" "$root/fuzz/artifacts"
"$build/fuzz/fuzz_dns_parse" -max_total_time="$duration" -max_len=4096 -timeout=10 \
    -artifact_prefix="$root/fuzz/artifacts/" -print_final_stats=1 \
    "$work" "$root/fuzz/corpus/dns_parse"
