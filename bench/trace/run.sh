#!/bin/sh
# Cost of one traced sendto: the same loop bare, under libkandrel.so in the
# classic behaviour and with full coverage (KANDREL_COVERAGE=full), under
# kandrel-run (full coverage beside the run's collector; with -o the trace
# goes through the collector), under the two-line reference wrapper and under
# strace, standard error to /dev/null; prints nanoseconds per call and the
# ratios.
# Usage: bench/trace/run.sh <build-dir> [calls]
set -eu
if [ $# -lt 1 ]; then
    echo "usage: $0 <build-dir> [calls]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
calls=${2:-200000}
runs=7
. "$build/bench/trace/bench_paths.sh"
for needed in "$loop" "$library" "$reference" "$launcher"; do
    [ -e "$needed" ] || { echo "$needed is missing: build the project first" >&2; exit 1; }
done
command -v strace >/dev/null || { echo "strace is not installed" >&2; exit 1; }

# The library creates "timelog" where the program runs.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset QUOR_ROUTE_TABLE LD_PRELOAD KANDREL_COVERAGE

# Nanoseconds per call of one run of the loop under the given command.
per_call() {
    "$@" "$loop" "$calls" 2>/dev/null
}

lower() {
    echo "$1 ${2:-$1}" | awk '{ print ($1 < $2) ? $1 : $2 }'
}

# The quick variants take turns, so that a slow spell of the machine does
# not fall on one of them only; each keeps its lowest figure.
bare= library_cost= full_cost= reference_cost= launcher_cost= collected_cost=
round=0
while [ $round -lt $runs ]; do
    bare=$(lower "$(per_call env)" "$bare")
    library_cost=$(lower "$(per_call env LD_PRELOAD="$library")" "$library_cost")
    full_cost=$(lower "$(per_call env KANDREL_COVERAGE=full LD_PRELOAD="$library")" "$full_cost")
    reference_cost=$(lower "$(per_call env LD_PRELOAD="$reference")" "$reference_cost")
    launcher_cost=$(lower "$(per_call "$launcher" --per-send -q --)" "$launcher_cost")
    collected_cost=$(lower "$(per_call "$launcher" --per-send -q -o /dev/null --)" "$collected_cost")
    round=$((round + 1))
done
strace_cost=$(per_call strace -f -e trace=network -o /dev/null)

echo "$calls sendto calls of 64 bytes per run, UDP over loopback, stderr to /dev/null"
echo "(lowest of $runs runs; strace: one run)"
awk -v bare="$bare" -v lib="$library_cost" -v full="$full_cost" -v ref="$reference_cost" -v st="$strace_cost" \
    -v run="$launcher_cost" -v collected="$collected_cost" 'BEGIN {
    printf "  bare                            %9.1f ns/call\n", bare
    printf "  libkandrel.so                   %9.1f ns/call\n", lib
    printf "  libkandrel.so, full coverage    %9.1f ns/call\n", full
    printf "  kandrel-run                     %9.1f ns/call\n", run
    printf "  kandrel-run -o (collector)      %9.1f ns/call\n", collected
    printf "  two-line reference wrapper      %9.1f ns/call\n", ref
    printf "  strace -f -e trace=network      %9.1f ns/call\n", st
    printf "  libkandrel.so / reference       %9.2f   (target at most 1.10)\n", lib / ref
    printf "  full coverage / reference       %9.2f\n", full / ref
    printf "  strace / libkandrel.so          %9.1f   (target at least 30)\n", st / lib
    printf "  added over bare: library %.1f ns, full coverage %.1f ns, reference %.1f ns\n",
           lib - bare, full - bare, ref - bare
    printf "  kandrel-run over full coverage: %.1f ns; with -o through the collector: %.1f ns\n",
           run - full, collected - full
}'
