#!/bin/sh
# How long kandrel-hop really waits: each echo's delay beyond --delay-ms, for
# pieces sent back to back on one TCP connection (a delay line: none waits
# behind another) and for UDP datagrams, with and without jitter. Builds
# nothing: takes an existing build directory.
#   run.sh BUILD_DIR [PIECES [DELAY_MS]]
# Needs root (a network namespace); touches nothing outside it.
set -eu

usage="usage: run.sh BUILD_DIR [PIECES [DELAY_MS]]"
build=$(cd "${1:?$usage}" && pwd)
pieces=${2:-200}
delay_ms=${3:-20}
hop=$build/hop/kandrel-hop
[ -x "$hop" ] || { echo "hop bench: $hop not found" >&2; exit 1; }
if [ "${HOP_BENCH_INSIDE:-}" != 1 ]; then
    exec env HOP_BENCH_INSIDE=1 unshare --net -- "$0" "$build" "$pieces" "$delay_ms"
fi
ip link set lo up

for jitter_ms in 0 5; do
    "$hop" --address 127.0.0.2 --delay-ms "$delay_ms" --jitter-ms "$jitter_ms" 2>/dev/null &
    hop_pid=$!
    python3 - "$pieces" "$delay_ms" "$jitter_ms" <<'PYTHON'
import socket, statistics, sys, time
pieces, delay_ms, jitter_ms = (int(word) for word in sys.argv[1:])
for _ in range(100):
    try:
        socket.create_connection(("127.0.0.2", 7)).close()
        break
    except OSError:
        time.sleep(0.02)

def report(what, sent_at, echoed_at, elapsed):
    beyond = sorted((e - s) * 1000 - delay_ms for s, e in zip(sent_at, echoed_at))
    print(f"{what:<34} beyond {delay_ms} ms: median {statistics.median(beyond):6.2f}  "
          f"95th {beyond[int(len(beyond) * 0.95) - 1]:6.2f}  min {beyond[0]:6.2f}  max {beyond[-1]:6.2f} ms;"
          f"  all {len(beyond)} echoed {elapsed * 1000:.1f} ms after the first send")

# TCP: pieces of 8 bytes written back to back; each echo is timed by when
# its last byte arrives.
tcp = socket.create_connection(("127.0.0.2", 7))
tcp.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
sent_at, echoed_at, received = [], [], b""
start = time.monotonic()
for i in range(pieces):
    sent_at.append(time.monotonic())
    tcp.sendall(b"%08d" % i)
while len(received) < 8 * pieces:
    received += tcp.recv(65536)
    now = time.monotonic()
    while len(echoed_at) < len(received) // 8:
        echoed_at.append(now)
assert received == b"".join(b"%08d" % i for i in range(pieces)), "TCP echo out of order"
report(f"TCP, jitter {jitter_ms} ms, back to back", sent_at, echoed_at, time.monotonic() - start)

udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
udp.settimeout(5)
sent_at, echoed_at = {}, {}
start = time.monotonic()
for i in range(pieces):
    sent_at[i] = time.monotonic()
    udp.sendto(b"%08d" % i, ("127.0.0.2", 7))
for _ in range(pieces):
    data, _ = udp.recvfrom(64)
    echoed_at[int(data)] = time.monotonic()
order = sorted(echoed_at)
report(f"UDP, jitter {jitter_ms} ms, back to back", [sent_at[i] for i in order], [echoed_at[i] for i in order],
       time.monotonic() - start)
PYTHON
    kill "$hop_pid"
    wait "$hop_pid" 2>/dev/null || true
done
