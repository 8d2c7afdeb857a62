#!/bin/sh
# Datagrams per second that tavik_serv echoes, beside the system's standard
# UDP echo (openbsd-inetd's internal service) under the same load in the
# same run. Builds nothing: takes an existing build directory.
#   echo_throughput.sh BUILD_DIR [COUNT [SECONDS [ROUNDS]]]
# Needs root (namespaces) and inetd; touches nothing outside its namespaces.
set -eu

usage="usage: echo_throughput.sh BUILD_DIR [COUNT [SECONDS [ROUNDS]]]"
build=$(cd "${1:?$usage}" && pwd)
count=${2:-500000}
seconds=${3:-10}
rounds=${4:-3}
serv=$build/tools/tavik_serv
flood=$build/bench/tools/udp_flood
inetd=${INETD:-/usr/sbin/inetd}
for program in "$serv" "$flood" "$inetd"; do
    [ -x "$program" ] || { echo "echo_throughput: $program not found" >&2; exit 1; }
done

# Everything runs in private network and mount namespaces; the mount
# namespace gives inetd its own /run for the pid file it always writes.
if [ "${ECHO_THROUGHPUT_INSIDE:-}" != 1 ]; then
    exec env ECHO_THROUGHPUT_INSIDE=1 \
        unshare --net --mount --propagation private -- "$0" "$build" "$count" "$seconds" "$rounds"
fi

mount -t tmpfs tmpfs /run
ip link set lo up
# The client sits in a namespace of its own behind a veth pair: inetd's UDP
# services ignore loopback sources, and both servers meet the same path.
ip netns add flood-client
ip link add echo0 type veth peer name flood0
ip link set flood0 netns flood-client
ip addr add 10.77.0.1/24 dev echo0
ip link set echo0 up
ip netns exec flood-client sh -c \
    'ip link set lo up && ip addr add 10.77.0.2/24 dev flood0 && ip link set flood0 up'

conf=/run/inetd-echo.conf
echo "10.77.0.1:echo dgram udp wait root internal" >"$conf"
# -i keeps inetd in the foreground; its -d would write a line per datagram.
"$inetd" -i "$conf" &
inetd_pid=$!
"$serv" &
serv_pid=$!
trap 'kill $inetd_pid $serv_pid 2>/dev/null' EXIT

for port in 7 6000; do
    tries=0
    until ss -Hlun "sport = :$port" | grep -q .; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] || { echo "echo_throughput: nothing listens on port $port" >&2; exit 1; }
        sleep 0.05
    done
done

echo "64-byte datagrams, up to $count echoes or $seconds s per run, $(nproc) CPUs"
round=1
while [ $round -le "$rounds" ]; do
    ip netns exec flood-client "$flood" inetd-echo 10.77.0.2 10.77.0.1 7 "$count" "$seconds"
    ip netns exec flood-client "$flood" tavik_serv 10.77.0.2 10.77.0.1 6000 "$count" "$seconds"
    round=$((round + 1))
done
