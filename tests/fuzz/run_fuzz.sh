#!/bin/sh
# Builds the route-line fuzz target with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in a temporary directory and runs it for the
# given number of seconds, starting from the kept corpus of hostile lines.
# The kept corpus is not changed; new inputs go to the temporary copy.
set -eu

seconds=${1:?usage: run_fuzz.sh SECONDS}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d /tmp/kandrel-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$root/kandrel/logic" "$here/route_line_fuzz.cc" "$root/kandrel/logic/route_line.cc" \
    -o "$work/route_line_fuzz"

mkdir "$work/corpus"
cp "$here"/corpus/* "$work/corpus/"
# Findings (crash-*, leak-*) are written to the current directory so that CI
# can keep them.
"$work/route_line_fuzz" -max_total_time="$seconds" -max_len=1024 -timeout=10 \
    -dict="$here/route_line.dict" -print_final_stats=1 "$work/corpus"
