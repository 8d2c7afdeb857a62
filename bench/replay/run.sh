#!/bin/sh
# Replay accuracy: a recording of COUNT round trips with known times (1 to
# 50 ms) is replayed to a program that times each of its sends; prints how
# far each send's duration strays from the recorded time it replayed. The
# target is 0.2 ms. Everything runs in private namespaces on loopback.
#
#   run.sh BUILD_DIR    (as root; COUNT=N changes the number of sends)
set -eu

build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
count=${COUNT:-200}

if [ "${KANDREL_BENCH_IN_NAMESPACES:-}" != 1 ]; then
    exec env KANDREL_BENCH_IN_NAMESPACES=1 \
        unshare --net --uts --mount --propagation private -- sh "$0" "$build"
fi

work=$(mktemp -d /tmp/kandrel-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM
ip link set lo up
hostname benchhost
printf '127.0.0.1 localhost\n127.0.0.3 benchhost\n' > "$work/hosts"
mount --bind "$work/hosts" /etc/hosts
cd "$work"

echo "benchhost 127.0.0.5 127.0.0.9 UDP" > routes
# Known times, spread over 1 to 50 ms, in a fixed pseudo-random order.
awk -v n="$count" 'BEGIN { x = 12345; for (i = 0; i < n; i++) {
        x = (x * 1103515245 + 12345) % 2147483648; rtt = 1000 + x % 49000
        printf "{\"t_us\":%d,\"pid\":1,\"to\":\"127.0.0.5\",\"hop\":\"127.0.0.9\",\"protocol\":\"UDP\",", i, rtt
        printf "\"bytes\":64,\"rtt_us\":%d,\"outcome\":\"echoed\"}\n", rtt } }' > recording

cat > client.py <<'PY'
import socket, sys, time
sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sink.bind(("127.0.0.5", 9000))
sink.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.connect(("127.0.0.5", 9000))
for _ in range(int(sys.argv[1])):
    start = time.monotonic_ns()
    s.send(b"x" * 64)
    print((time.monotonic_ns() - start) / 1e6)
PY
QUOR_ROUTE_TABLE=$work/routes KANDREL_COVERAGE=full KANDREL_REPLAY=$work/recording \
    LD_PRELOAD=$build/kandrel/libkandrel.so python3 client.py "$count" > measured 2>/dev/null
sed 's/.*"rtt_us":\([0-9]*\).*/\1/' recording | awk '{ printf "%.3f\n", $1 / 1000 }' > recorded

echo "replayed sends: $count, recorded times 1 to 50 ms"
paste measured recorded | awk '{ d = $1 - $2; if (d < 0) d = -d; print d }' | sort -n |
    awk '{ v[NR] = $1 } END { p = int(NR * 0.95 + 0.5); if (p < 1) p = 1
          printf "|send duration - recorded time|: median %.3f  p95 %.3f  max %.3f ms\n",
                 v[int((NR + 1) / 2)], v[p], v[NR] }'
