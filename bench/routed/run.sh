#!/bin/sh
# Routed-send benchmark. With a hop that waits D = 20 ms before each echo,
# times COUNT routed sends of 64 bytes over a UDP route and over a TCP route
# and reports:
#   - what a routed send costs beyond D, and beyond the wait the hop really
#     made (the library's own share: tracing, the round trip's system calls,
#     loopback transit);
#   - how far the library's TIME values stray from the hop's real wait.
# Everything runs in private namespaces on loopback.
#
#   run.sh BUILD_DIR    (as root; COUNT=N changes the number of sends,
#                        KEEP_WORK=1 keeps the raw rows and traces)
set -eu

build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
delay_ms=20
count=${COUNT:-200}
size=64

if [ "${KANDREL_BENCH_IN_NAMESPACES:-}" != 1 ]; then
    exec env KANDREL_BENCH_IN_NAMESPACES=1 \
        unshare --net --uts --mount --propagation private -- sh "$0" "$build"
fi

work=$(mktemp -d /tmp/kandrel-bench-XXXXXX)
hop_pid=
cleanup() {
    [ -n "$hop_pid" ] && kill "$hop_pid" 2>/dev/null
    [ -n "${KEEP_WORK:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT INT TERM

ip link set lo up
hostname benchhost
printf '127.0.0.1 localhost\n127.0.0.3 benchhost\n' > "$work/hosts"
printf 'hosts: files\n' > "$work/nsswitch.conf"
mount --bind "$work/hosts" /etc/hosts
mount --bind "$work/nsswitch.conf" /etc/nsswitch.conf

# mean, median, 95th percentile and largest of a column of numbers
summary() {
    sort -n | awk '{ v[NR] = $1; sum += $1 }
        END { p = int(NR * 0.95 + 0.5); if (p < 1) p = 1
              printf "mean %7.3f  median %7.3f  p95 %7.3f  max %7.3f ms\n",
                     sum / NR, v[int((NR + 1) / 2)], v[p], v[NR] }'
}

echo "routed sends: $count of $size bytes, hop wait D = $delay_ms ms"
for protocol in UDP TCP; do
    rm -f "$work/ready"
    : > "$work/waits"
    "$build/tests/support/echo_hop" --address 127.0.0.2 --delay-ms "$delay_ms" \
        --wait-log "$work/waits" --ready-file "$work/ready" > /dev/null &
    hop_pid=$!
    while [ ! -e "$work/ready" ]; do sleep 0.01; done

    echo "benchhost 127.0.0.5 127.0.0.2 $protocol" > "$work/routes"
    mode=$(echo "$protocol" | tr 'A-Z' 'a-z')
    (cd "$work" && QUOR_ROUTE_TABLE="$work/routes" LD_PRELOAD="$build/kandrel/libkandrel.so" \
        "$build/bench/routed/routed_bench" "$mode" 127.0.0.5 9000 "$count" "$size" \
        > "$work/output" 2> "$work/trace")
    # the round trips print their echoes on the same standard output
    grep -E '^[0-9]+$' "$work/output" > "$work/sends"
    kill "$hop_pid"
    wait "$hop_pid" 2>/dev/null || true
    hop_pid=

    sed -n 's/.*TIME=\([0-9-]*\)\. ms/\1/p' "$work/trace" > "$work/times"
    if [ "$(wc -l < "$work/times")" -ne "$count" ] || [ "$(wc -l < "$work/waits")" -ne "$count" ]; then
        echo "$protocol: expected $count round trips, got $(wc -l < "$work/times") TIME lines" \
             "and $(wc -l < "$work/waits") hop waits" >&2
        exit 1
    fi
    # columns: send duration (us), hop's real wait (us), TIME (ms)
    paste "$work/sends" "$work/waits" "$work/times" > "$work/rows"

    echo "$protocol route:"
    printf '  send duration            '
    awk '{ print $1 / 1000 }' "$work/rows" | summary
    printf '  extra beyond D           '
    awk -v d="$delay_ms" '{ print $1 / 1000 - d }' "$work/rows" | summary
    printf '  extra beyond hop wait    '
    awk '{ print ($1 - $2) / 1000 }' "$work/rows" | summary
    printf '  |TIME - hop wait|        '
    awk '{ x = $3 - $2 / 1000; print (x < 0 ? -x : x) }' "$work/rows" | summary
done
