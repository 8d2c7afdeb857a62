#!/usr/bin/env python3
"""The path benchmark's socket workloads: each talks to servers.py and times itself.

  workloads.py WORKLOAD HOST RESULT_FILE

Writes the seconds the workload took (from before its first socket call to its last reply) to
RESULT_FILE, so neither the interpreter's start nor the launcher's is counted. The HTTP workloads
are curl's and are timed by curl itself (run.sh).
"""
import socket
import ssl
import sys
import time

REQUEST = b"q" * 63 + b"\n"
RESPONSE_SIZE = 1024  # as servers.py answers
DATAGRAM = b"d" * 64


def receive_exactly(s, count):
    while count > 0:
        piece = s.recv(min(count, 1 << 20))
        if not piece:
            raise EOFError("connection closed early")
        count -= len(piece)


def connected_stream(host):
    s = socket.create_connection((host, 9002))
    # A pipelining client sends each request as soon as it has it, as redis and HTTP clients do.
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def udp_request_response(host):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.connect((host, 9001))
        s.send(DATAGRAM)
        s.recv(65536)


def udp_burst(host):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.connect((host, 9001))
        for _ in range(20):
            s.send(DATAGRAM)
        for _ in range(20):
            s.recv(65536)


def tcp_request_responses(host):
    with connected_stream(host) as s:
        for _ in range(100):
            s.sendall(REQUEST)
            receive_exactly(s, RESPONSE_SIZE)


def pipelined_one_send(host):
    with connected_stream(host) as s:
        s.sendall(REQUEST * 16)
        receive_exactly(s, 16 * RESPONSE_SIZE)


def pipelined_sixteen_sends(host):
    with connected_stream(host) as s:
        for _ in range(16):
            s.sendall(REQUEST)
        receive_exactly(s, 16 * RESPONSE_SIZE)


def tls_handshakes(host):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.minimum_version = ssl.TLSVersion.TLSv1_3
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    for _ in range(5):
        with context.wrap_socket(socket.create_connection((host, 8443))) as s:
            s.sendall(b"hello\n")
            receive_exactly(s, 6)


WORKLOADS = {
    "udp-rr": udp_request_response,
    "udp-burst": udp_burst,
    "tcp-rr": tcp_request_responses,
    "pipeline-1send": pipelined_one_send,
    "pipeline-16sends": pipelined_sixteen_sends,
    "tls": tls_handshakes,
}


def main():
    workload, host, result = sys.argv[1:4]
    start = time.monotonic()
    WORKLOADS[workload](host)
    elapsed = time.monotonic() - start
    with open(result, "w") as out:
        out.write(f"{elapsed:.6f}\n")


if __name__ == "__main__":
    main()
