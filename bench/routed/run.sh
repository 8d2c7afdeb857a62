#!/bin/sh
# Routed-send benchmark. With a hop that waits D = 20 ms before each echo,
# times COUNT routed sends of 64 bytes over a UDP route and over a TCP route,
# in the classic behaviour, with full coverage (KANDREL_COVERAGE=full) and
# under kandrel-run (full coverage, its records sent to the run's collector),
# and reports:
#   - what a routed send costs beyond D, and beyond the wait the hop really
#     made (the library's own share: tracing, the round trip's system calls,
#     loopback transit);
#   - how far the library's TIME values stray from the hop's real wait.
# Then, with full coverage, it opens SOCKETS connections to the routed
# destination at once, which share the route's hop connections, compares the
# cost beyond the hop's wait of sends on the first and the last of them with
# that of the single socket above, and counts the descriptors the library
# holds meanwhile. Last, it times datagrams of 1,400 bytes (two echo chunks)
# in both behaviours: full coverage sends the chunks together, one round trip.
# Everything runs in private namespaces on loopback.
#
#   run.sh BUILD_DIR    (as root; COUNT=N changes the number of sends,
#                        SOCKETS=N the number of sockets open at once,
#                        KEEP_WORK=1 keeps the raw rows and traces)
set -eu

build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
delay_ms=20
count=${COUNT:-200}
sockets=${SOCKETS:-1000}
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
# The hop holds a connection per socket, the program two descriptors per
# socket (its own, the destination's accepted end), and room to spare.
ulimit -n $((sockets * 3 + 1024))

# mean, median, 95th percentile and largest of a column of numbers
summary() {
    sort -n | awk '{ v[NR] = $1; sum += $1 }
        END { p = int(NR * 0.95 + 0.5); if (p < 1) p = 1
              printf "mean %7.3f  median %7.3f  p95 %7.3f  max %7.3f ms\n",
                     sum / NR, v[int((NR + 1) / 2)], v[p], v[NR] }'
}

# measure COVERAGE PROTOCOL SOCKET_COUNT: one run of routed_bench through a
# fresh hop. Leaves $work/rows with the columns socket number, send duration
# (us), the hop's real wait (us), TIME (ms); and $work/opened with the
# microseconds all the connects took.
measure() {
    coverage=$1 protocol=$2 socket_count=$3
    rm -f "$work/ready" "$work/timelog"
    : > "$work/waits"
    "$build/tests/support/echo_hop" --address 127.0.0.2 --delay-ms "$delay_ms" \
        --wait-log "$work/waits" --ready-file "$work/ready" > /dev/null &
    hop_pid=$!
    while [ ! -e "$work/ready" ]; do sleep 0.01; done

    echo "benchhost 127.0.0.5 127.0.0.2 $protocol" > "$work/routes"
    mode=$(echo "$protocol" | tr 'A-Z' 'a-z')
    case $coverage in
    full) set -- env KANDREL_COVERAGE=full ;;
    # full coverage as kandrel-run runs it: records go to the run's collector
    launcher) set -- "$build/launcher/kandrel-run" --per-send -q --no-check -r "$work/routes" -- env ;;
    *) set -- env -u KANDREL_COVERAGE ;;
    esac
    (cd "$work" && "$@" QUOR_ROUTE_TABLE="$work/routes" LD_PRELOAD="$build/kandrel/libkandrel.so" \
        "$build/bench/routed/routed_bench" "$mode" 127.0.0.5 9000 "$count" "$size" "$socket_count" \
        > "$work/output" 2> "$work/trace")
    kill "$hop_pid"
    wait "$hop_pid" 2>/dev/null || true
    hop_pid=

    # the classic round trips print their echoes on the same standard output
    sed -n 's/^send \([0-9]*\) \([0-9]*\)$/\1 \2/p' "$work/output" > "$work/sends"
    sed -n 's/^opened [0-9]* \([0-9]*\)$/\1/p' "$work/output" > "$work/opened"
    sed -n 's/.*TIME=\([0-9-]*\)\. ms/\1/p' "$work/trace" > "$work/times"
    # with full coverage each connect over a TCP route waits one round trip
    # first (the hop's first waits); a send longer than one echo chunk makes
    # the hop wait once per chunk
    connect_waits=0
    [ "$coverage" = full ] && [ "$protocol" = TCP ] && connect_waits=$socket_count
    tail -n +$((connect_waits + 1)) "$work/waits" > "$work/send_waits"
    chunks=$(( (size + 1023) / 1024 ))
    if [ "$(wc -l < "$work/sends")" -ne "$count" ] || [ "$(wc -l < "$work/times")" -ne "$count" ] ||
       [ "$(wc -l < "$work/send_waits")" -ne $((count * chunks)) ]; then
        echo "$coverage $protocol: expected $count sends and round trips, got $(wc -l < "$work/sends")" \
             "sends, $(wc -l < "$work/times") TIME lines and $(wc -l < "$work/send_waits") hop waits" >&2
        exit 1
    fi
    paste -d ' ' "$work/sends" "$work/send_waits" "$work/times" > "$work/rows"
    [ -z "${KEEP_WORK:-}" ] || cp "$work/rows" "$work/rows-$coverage-$protocol-$socket_count"
}

# beyond_wait [SOCKET_NUMBER]: the cost beyond the hop's real wait of the
# sends (on that socket only, when given).
beyond_wait() {
    awk -v only="${1:-}" 'only == "" || $1 == only { print ($2 - $3) / 1000 }' "$work/rows" | summary
}

echo "routed sends: $count of $size bytes, hop wait D = $delay_ms ms"
for protocol in UDP TCP; do
    for coverage in classic full launcher; do
        measure "$coverage" "$protocol" 1
        echo "$protocol route, $coverage:"
        printf '  send duration            '
        awk '{ print $2 / 1000 }' "$work/rows" | summary
        printf '  extra beyond D           '
        awk -v d="$delay_ms" '{ print $2 / 1000 - d }' "$work/rows" | summary
        printf '  extra beyond hop wait    '
        beyond_wait
        printf '  |TIME - hop wait|        '
        awk '{ x = $4 - $3 / 1000; print (x < 0 ? -x : x) }' "$work/rows" | summary
    done
done

echo "full coverage, $sockets sockets open at once, sends alternating on #1 and #$sockets:"
for protocol in UDP TCP; do
    measure full "$protocol" "$sockets"
    echo "$protocol route:"
    awk -v n="$sockets" '{ printf "  %d connects: %.1f ms, %.3f ms each\n",
                            n, $1 / 1000, $1 / 1000 / n }' "$work/opened"
    sed -n 's/^library descriptors \([0-9]*\)$/  descriptors the library holds: \1/p' "$work/output"
    printf '  %-31s' "socket #1 beyond hop wait"
    beyond_wait 1
    printf '  %-31s' "socket #$sockets beyond hop wait"
    beyond_wait "$sockets"
done

size=1400
echo "datagrams of $size bytes over a UDP route:"
for coverage in classic full; do
    measure "$coverage" UDP 1
    printf '  %-8s send duration   ' "$coverage"
    awk '{ print $2 / 1000 }' "$work/sends" | summary
done
