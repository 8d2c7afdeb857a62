#!/bin/sh
# Supervision benchmark, for statically linked programs that kandrel-run
# supervises through the system-call filter:
#   - a notified call that is not routed: a program writing a file in 4 KiB
#     pieces (COUNT writes), bare and supervised, the mean cost per write;
#   - a routed send: COUNT sends of 64 bytes over a UDP and a TCP route
#     through a hop that waits D = 20 ms, the cost beyond the hop's real wait;
#   - a Go HTTP client (hey) with 1 and with 5 connections at once through
#     the same hop: each request's mean time, which stays near D when the
#     connections' round trips overlap.
# Everything runs in private namespaces on loopback.
#
#   run.sh BUILD_DIR    (as root; COUNT=N changes the number of calls)
set -eu

build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
count=${COUNT:-200}
writes=${WRITES:-100000}
delay_ms=20

if [ "${KANDREL_BENCH_IN_NAMESPACES:-}" != 1 ]; then
    exec env KANDREL_BENCH_IN_NAMESPACES=1 \
        unshare --net --uts --mount --propagation private -- sh "$0" "$build"
fi

work=$(mktemp -d /tmp/kandrel-bench-XXXXXX)
hop_pid=
cleanup() {
    [ -n "$hop_pid" ] && kill "$hop_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

ip link set lo up
hostname benchhost
printf '127.0.0.1 localhost\n127.0.0.3 benchhost\n' > "$work/hosts"
printf 'hosts: files\n' > "$work/nsswitch.conf"
mount --bind "$work/hosts" /etc/hosts
mount --bind "$work/nsswitch.conf" /etc/nsswitch.conf
run="$build/launcher/kandrel-run"

summary() {
    sort -n | awk '{ v[NR] = $1 } END { printf "median %7.3f  p95 %7.3f ms\n", v[int((NR + 1) / 2)], v[int(NR * 0.95 + 0.5)] }'
}

echo "file written in 4 KiB pieces ($writes writes), mean per write:"
bare=$("$build/bench/supervise/file_writes_static" "$work/file" "$writes")
supervised=$(cd "$work" && "$run" -- "$build/bench/supervise/file_writes_static" "$work/file" "$writes" 2>/dev/null)
echo "  bare $bare ns, supervised $supervised ns (a notified call not routed: $((supervised - bare)) ns)"

echo "routed sends: $count of 64 bytes, hop wait D = $delay_ms ms, cost beyond the hop's real wait:"
for protocol in UDP TCP; do
    rm -f "$work/ready"
    : > "$work/waits"
    "$build/tests/support/echo_hop" --address 127.0.0.2 --delay-ms "$delay_ms" \
        --wait-log "$work/waits" --ready-file "$work/ready" > /dev/null &
    hop_pid=$!
    while [ ! -e "$work/ready" ]; do sleep 0.01; done
    echo "benchhost 127.0.0.5 127.0.0.2 $protocol" > "$work/routes"
    mode=$(echo "$protocol" | tr 'A-Z' 'a-z')
    (cd "$work" && "$run" -r "$work/routes" -- "$build/bench/supervise/routed_bench_static" \
        "$mode" 127.0.0.5 9000 "$count" 64 > "$work/output" 2> "$work/trace")
    kill "$hop_pid"
    wait "$hop_pid" 2>/dev/null || true
    hop_pid=
    sed -n 's/^send \([0-9]*\) \([0-9]*\)$/\2/p' "$work/output" > "$work/sends"
    if [ "$(wc -l < "$work/sends")" -ne "$count" ] || [ "$(wc -l < "$work/waits")" -ne "$count" ]; then
        echo "$protocol: expected $count sends and hop waits" >&2
        exit 1
    fi
    printf '  %s route  ' "$protocol"
    paste -d ' ' "$work/sends" "$work/waits" | awk '{ print ($1 - $2) / 1000 }' | summary
done

echo "hey -n 50 through a TCP route, hop wait D = $delay_ms ms, mean request time:"
python3 -m http.server 8080 --bind 127.0.0.5 --directory "$work" > /dev/null 2>&1 &
server_pid=$!
rm -f "$work/ready"
"$build/tests/support/echo_hop" --address 127.0.0.2 --delay-ms "$delay_ms" --ready-file "$work/ready" > /dev/null &
hop_pid=$!
while [ ! -e "$work/ready" ]; do sleep 0.01; done
while ! bash -c 'exec 3<>/dev/tcp/127.0.0.5/8080' 2>/dev/null; do sleep 0.05; done
echo "benchhost 127.0.0.5 127.0.0.2 TCP" > "$work/routes"
for connections in 1 5; do
    printf '  %s connection(s) at once: ' "$connections"
    (cd "$work" && "$run" -r "$work/routes" -- hey -n 50 -c "$connections" http://127.0.0.5:8080/ 2>/dev/null) |
        awk '/Average:/ { printf "%.1f ms\n", $2 * 1000 }'
done
kill "$server_pid"
