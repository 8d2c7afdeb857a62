#!/bin/bash
# Path fidelity benchmark: times 13 workloads over a true path of round trip D (path_emulator)
# and under kandrel-run with an undelayed link to the server, and prints kandrel / true path.
#
#   run.sh BUILD_DIR [--d 20,100] [--models default,--per-send,--classic] [--quick | --workloads A,B]
#          [--repeat N] [--timeout SECONDS] [--rate MBIT] [--lab-hop 'PROGRAM [ARGS]']
#
# Namespaces (private, removed at the end, Ctrl-C included):
#   client 10.81.0.1 --tun--[path_emulator, D/2 each way]--tun-- 10.81.0.2 server
#   client 10.82.0.1 --------------veth, undelayed-------------- 10.82.0.2 server
#   client 10.83.0.1 --------------veth, undelayed-------------- 10.83.0.2 hop
# The true path is the client talking to 10.81.0.2. kandrel talks to 10.82.0.2 and is routed
# through one of two hops: "lab", 10.83.0.2, a hop that waits D before echoing (--lab-hop's
# command, run with --address A --delay-ms D added; else kandrel-hop if the build has it, else
# the tests' echo_hop); and "plain", the server machine's own echo service (inetd's internal echo,
# else echo_hop without a wait) on 10.81.0.2, reached through the emulator. Only the client is
# preloaded. Short workloads take the median of --repeat runs (3), long ones one run; every run
# is bounded by --timeout (30 s). --models lists kandrel-run's option sets, "default" meaning
# none (the path model); by default the path model, --per-send and --classic.
set -eu

usage() {
    sed -n '5,6p' "$0" | sed 's/^# *//' >&2
    exit 2
}
[ $# -ge 1 ] || usage
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
all_args=("$@")
shift
delays=20,100
models=
chosen=
repeat=3
run_timeout=30
rate=
lab_hop=()
while [ $# -gt 0 ]; do
    case "$1" in
    --d) delays=$2; shift 2 ;;
    --models) models=$2; shift 2 ;;
    --quick) chosen=udp-rr,tcp-rr,pipeline-16sends,http-parallel,download-10M,upload-10M; shift ;;
    --workloads) chosen=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    --timeout) run_timeout=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --lab-hop) read -r -a lab_hop <<< "$2"; shift 2 ;;
    *) usage ;;
    esac
done

if [ "${KANDREL_BENCH_IN_NAMESPACES:-}" != 1 ]; then
    exec env KANDREL_BENCH_IN_NAMESPACES=1 \
        unshare --net --uts --mount --propagation private -- bash "$0" "${all_args[@]}"
fi
unset KANDREL_COVERAGE KANDREL_ECHO_PAYLOAD KANDREL_RECORD KANDREL_REPLAY QUOR_ROUTE_TABLE

launcher=$build/launcher/kandrel-run
emulator=$build/bench/path/path_emulator
python=/usr/bin/python3  # the system's interpreter, not a wrapper script that would be preloaded too
for needed in "$launcher" "$emulator" "$build/tests/support/echo_hop"; do
    [ -x "$needed" ] || { echo "run.sh: $needed is missing (build it first)" >&2; exit 1; }
done
if [ -z "$models" ]; then
    models=default,--per-send,--classic
fi
for candidate in "$build/tools/kandrel-hop" "$build/hop/kandrel-hop" "$build/tests/support/echo_hop"; do
    if [ ${#lab_hop[@]} = 0 ] && [ -x "$candidate" ]; then lab_hop=("$candidate"); fi
done

work=$(mktemp -d /tmp/kandrel-path-XXXXXX)
started=()
cleanup() {
    trap - EXIT INT TERM
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
    for ns in kbc kbs kbh; do ip netns del "$ns" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ip netns names and inetd's pid file live in a /run of our own mount namespace.
mount -t tmpfs tmpfs /run
hostname kbclient
printf '127.0.0.1 localhost\n10.82.0.1 kbclient\n' > "$work/hosts"
printf 'hosts: files\n' > "$work/nsswitch.conf"
mount --bind "$work/hosts" /etc/hosts
mount --bind "$work/nsswitch.conf" /etc/nsswitch.conf

in_ns() { ip netns exec "$@"; }
for ns in kbc kbs kbh; do
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    # Cached metrics of earlier connections would make later runs start with another window.
    in_ns "$ns" sysctl -qw net.ipv4.tcp_no_metrics_save=1
done
ip link add c-s netns kbc type veth peer name s-c netns kbs
ip link add c-h netns kbc type veth peer name h-c netns kbh
ip -n kbc addr add 10.82.0.1/24 dev c-s
ip -n kbs addr add 10.82.0.2/24 dev s-c
ip -n kbc addr add 10.83.0.1/24 dev c-h
ip -n kbh addr add 10.83.0.2/24 dev h-c
for link in kbc:c-s kbs:s-c kbc:c-h kbh:h-c; do ip -n "${link%%:*}" link set "${link#*:}" up; done

# start_service NAME PROGRAM ARGS...: runs PROGRAM (not a shell function, so that the pid kept
# for the cleanup is the program's own) in the background, its output in $work/NAME.out.
start_service() {
    local name=$1
    shift
    "$@" > "$work/$name.out" 2>&1 &
    started+=($!)
    eval "${name}_pid=$!"
}

# wait_tcp NAMESPACE HOST PORT: up to 10 s for HOST to accept connections on PORT.
wait_tcp() {
    in_ns "$1" "$python" - "$2" "$3" <<'PY'
import socket, sys, time
end = time.monotonic() + 10
while True:
    try:
        socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=1).close()
        break
    except OSError:
        if time.monotonic() > end:
            sys.exit(f"run.sh: {sys.argv[1]} port {sys.argv[2]} does not answer")
        time.sleep(0.02)
PY
}

stop_service() {
    local pid=$1
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=kbserver \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
start_service servers ip netns exec kbs "$python" "$here/servers.py" "$work/cert.pem" "$work/key.pem"
wait_tcp kbc 10.82.0.2 8443

plain_hop_kind=
# The emulator and the lab hop stand for the network, which a busy machine's other jobs would not
# slow down: they run at a real-time priority (they sleep between packets, so they take no more).
network_priority=()
if chrt -f 10 true 2> /dev/null; then network_priority=(chrt -f 10); fi

start_plain_hop() {
    if command -v inetd > /dev/null; then
        printf '10.81.0.2:echo stream tcp nowait root internal\n10.81.0.2:echo dgram udp wait root internal\n' \
            > "$work/inetd.conf"
        start_service plain_hop ip netns exec kbs inetd -d -i "$work/inetd.conf"
        plain_hop_kind="inetd's internal echo"
    else
        start_service plain_hop ip netns exec kbs "$build/tests/support/echo_hop" --address 10.81.0.2
        plain_hop_kind="echo_hop without a wait"
    fi
}

start_lab_hop() {
    local delay=$1
    start_service lab_hop "${network_priority[@]}" ip netns exec kbh "${lab_hop[@]}" --address 10.83.0.2 \
        --delay-ms "$delay"
    wait_tcp kbc 10.83.0.2 7
}

start_path() {
    local delay=$1
    rm -f "$work/emulator.out"  # the previous emulator's "ready" must not be taken for this one's
    start_service emulator "${network_priority[@]}" "$emulator" --delay-ms "$delay" ${rate:+--rate-mbit "$rate"} \
        /run/netns/kbc tunp /run/netns/kbs tunp
    local tries=0
    until grep -qs ready "$work/emulator.out"; do
        tries=$((tries + 1))
        [ $tries -lt 500 ] || { cat "$work/emulator.out" >&2; exit 1; }
        sleep 0.01
    done
    ip -n kbc addr add 10.81.0.1 peer 10.81.0.2 dev tunp
    ip -n kbs addr add 10.81.0.2 peer 10.81.0.1 dev tunp
    ip -n kbc link set tunp up
    ip -n kbs link set tunp up
}

# The round trip the emulated path really gives: 20 UDP echoes off the plain hop.
print_path_rtt() {
    in_ns kbc "$python" -c "
import socket, statistics, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(2)
s.connect(('10.81.0.2', 7))
times = []
for _ in range(20):
    start = time.monotonic()
    s.send(b'x' * 64)
    s.recv(100)
    times.append((time.monotonic() - start) * 1000)
print(f'path RTT (UDP echo, 20): min {min(times):.2f}  median {statistics.median(times):.2f}'
      f'  max {max(times):.2f} ms')"
}

dd if=/dev/zero of="$work/upload-10M" bs=1M count=10 status=none
dd if=/dev/zero of="$work/upload-100M" bs=1M count=100 status=none

# curl_args WORKLOAD HOST: curl's arguments and how its per-transfer times combine (sum or max).
curl_args() {
    local url=http://$2:8080 i
    combine=sum
    args=(-s -w 'kbtime %{time_total}\n')
    case "$1" in
    http-keepalive) for i in $(seq 20); do args+=(-o /dev/null "$url/bytes/4096"); done ;;
    http-parallel)
        combine=max
        args+=(--parallel --parallel-immediate --parallel-max 8)
        for i in $(seq 8); do args+=(-o /dev/null "$url/bytes/16384"); done ;;
    http-new) for i in $(seq 10); do args+=(-H 'Connection: close' -o /dev/null "$url/bytes/1024"); done ;;
    download-10M) args+=(-o /dev/null "$url/bytes/10485760") ;;
    download-100M) args+=(-o /dev/null "$url/bytes/104857600") ;;
    upload-10M | upload-100M) args+=(-H 'Expect:' -T "$work/$1" -o /dev/null "$url/up" ) ;;
    esac
}

# run_once WORKLOAD HOST [LAUNCHER...]: prints the workload's seconds, "timeout" or "failed".
run_once() {
    local workload=$1 host=$2 status=0
    shift 2
    rm -rf "$work/run" && mkdir "$work/run"
    case "$workload" in
    http-* | download-* | upload-*)
        curl_args "$workload" "$host"
        (cd "$work/run" && in_ns kbc timeout "$run_timeout" "$@" curl "${args[@]}" > out 2> /dev/null) ||
            status=$?
        # In the classic behaviour the library prints its echoes on the same standard output.
        [ $status -ne 0 ] || grep -o 'kbtime [0-9.]*' "$work/run/out" | awk -v how=$combine '
            { n++; t = $2; sum += t; if (t > max) max = t }
            END { if (n == 0) print "failed"; else printf "%.4f\n", how == "max" ? max : sum }' ;;
    *)
        (cd "$work/run" && in_ns kbc timeout "$run_timeout" "$@" "$python" "$here/workloads.py" \
            "$workload" "$host" "$work/run/result" > /dev/null 2>&1) || status=$?
        [ $status -ne 0 ] || cat "$work/run/result" ;;
    esac
    if [ $status -eq 124 ]; then echo timeout; elif [ $status -ne 0 ]; then echo failed; fi
}

# measure D WORKLOAD SETUP HOST [LAUNCHER...]: the median of the runs, appended to the results.
long_workloads=" tcp-rr download-10M download-100M upload-10M upload-100M "
measure() {
    local delay=$1 workload=$2 setup=$3 runs=$repeat i
    shift 3
    case "$long_workloads" in *" $workload "*) runs=1 ;; esac
    for i in $(seq "$runs"); do run_once "$workload" "$@"; done > "$work/runs"
    # A run that timed out or failed sorts after every time: the median is then a bound or a failure.
    sed 's/^timeout$/1e9 timeout/; s/^failed$/2e9 failed/' "$work/runs" | sort -g |
        awk -v d="$delay" -v w="$workload" -v s="$setup" -v limit="$run_timeout" '
            { v[NR] = $1 }
            END { m = v[int((NR + 1) / 2)]
                  print d, w, s, (m >= 2e9 ? "failed" : (m >= 1e9 ? ">" limit : m)) }' >> "$work/results"
}

workloads="udp-rr tcp-rr pipeline-1send http-keepalive udp-burst pipeline-16sends http-parallel http-new tls
download-10M download-100M upload-10M upload-100M"
[ -z "$chosen" ] || workloads=${chosen//,/ }

: > "$work/results"
for delay in ${delays//,/ }; do
    start_path "$delay"
    # The plain hop binds the server's end of the path, which exists once the path does.
    [ -n "$plain_hop_kind" ] || start_plain_hop
    wait_tcp kbc 10.81.0.2 7
    start_lab_hop "$delay"
    echo "D = $delay ms: $(print_path_rtt); load average $(cut -d' ' -f1-3 /proc/loadavg)"
    for workload in $workloads; do
        protocol=TCP
        case "$workload" in udp-*) protocol=UDP ;; esac
        measure "$delay" "$workload" true 10.81.0.2
        for model in ${models//,/ }; do
            options=()
            [ "$model" = default ] || options=("$model")
            for hop in lab plain; do
                hop_address=10.83.0.2
                [ $hop = lab ] || hop_address=10.81.0.2
                echo "kbclient 10.82.0.2 $hop_address $protocol" > "$work/routes-$hop"
                measure "$delay" "$workload" "$model/$hop" 10.82.0.2 \
                    "$launcher" -r "$work/routes-$hop" "${options[@]}" --
            done
        done
        grep "^$delay $workload " "$work/results" | awk '
            { line = line sprintf(" %s=%s", $3, $4) } END { print "  " $2 line }'
    done
    echo "  load average $(cut -d' ' -f1-3 /proc/loadavg)"
    stop_service "$lab_hop_pid"
    stop_service "$emulator_pid"
    sed -n 's/^path_emulator: /  path emulator: /p' "$work/emulator.out"
done

echo
case "${lab_hop[*]}" in
*/echo_hop) echo "lab hop: ${lab_hop[*]} --delay-ms D (waits D per read: pipelined pieces wait in turn)" ;;
*) echo "lab hop: ${lab_hop[*]} --delay-ms D" ;;
esac
echo "plain hop: $plain_hop_kind on the server, through the emulated path"
"$python" - "$work/results" "$models" "$delays" "$workloads" <<'PY'
import sys
path, models, delays, workloads = sys.argv[1], sys.argv[2].split(","), sys.argv[3].split(","), sys.argv[4].split()
setups = [f"{m}/{h}" for m in models for h in ("lab", "plain")]
times = {}
for line in open(path):
    d, w, s, t = line.split()
    times[d, w, s] = t


def number(text):
    return None if text == "failed" else float(text.lstrip(">"))


def shown(text):
    """Seconds as milliseconds, a bound kept as a bound."""
    return text if text == "failed" else (">" if text.startswith(">") else "") + f"{number(text) * 1000:.1f}"


print(f"{'workload':18} {'D':>4} {'true (ms)':>10}" + "".join(f" {s + ' (ms, ratio)':>28}" for s in setups))
within = {s: 0 for s in setups}
rows = 0
for w in workloads:
    for d in delays:
        true = times.get((d, w, "true"), "failed")
        cells = []
        for s in setups:
            t = times.get((d, w, s), "failed")
            tv, kv = number(true), number(t)
            if tv is None or kv is None or true.startswith(">"):
                cells.append(f"{shown(t)} (?)")
                continue
            ratio = kv / tv
            bound = ">" if t.startswith(">") else ""
            if not bound and 0.85 <= ratio <= 1.15:
                within[s] += 1
            cells.append(f"{shown(t)} ({bound}{ratio:.2f})")
        rows += 1
        print(f"{w:18} {d:>4} {shown(true):>10}" + "".join(f" {c:>28}" for c in cells))
print(f"rows within 15% of the true path (of {rows}):" + "".join(f"  {s} {within[s]}" for s in setups))
PY
