#!/usr/bin/env python3
"""The path benchmark's server side: the services its workloads talk to, on every address.

  servers.py CERT KEY

UDP 9001 answers each datagram with one of the same length. TCP 9002 answers each request line
(64 bytes ending in a newline) with RESPONSE_SIZE bytes. HTTP/1.1 on 8080 keeps
connections alive: GET /bytes/N sends N bytes, PUT reads and drops the body. TLS 1.3 on 8443
answers one line per connection after the handshake. Prints "ready" once everything listens.
"""
import http.server
import socket
import socketserver
import ssl
import sys
import threading

RESPONSE_SIZE = 1024
CHUNK = b"x" * 65536


def serve_udp():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", 9001))
    while True:
        data, peer = s.recvfrom(65536)
        s.sendto(data, peer)


class RequestResponse(socketserver.StreamRequestHandler):
    def handle(self):
        # Answers go out at once: the server of a request/response protocol does not wait to fill
        # segments, so Nagle would only measure the server's configuration.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        answer = b"r" * (RESPONSE_SIZE - 1) + b"\n"
        for _ in iter(self.rfile.readline, b""):
            self.connection.sendall(answer)


class Http(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive; http.server's default 1.0 closes every connection

    def setup(self):
        super().setup()
        # http.server writes the headers and the body apart; with Nagle the body's last segment
        # would wait for the headers' acknowledgement, a round trip that servers built for
        # keep-alive (which set TCP_NODELAY) do not pay.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def do_GET(self):
        size = int(self.path.rsplit("/", 1)[-1])
        self.send_response(200)
        self.send_header("Content-Length", str(size))
        self.end_headers()
        while size > 0:
            piece = min(size, len(CHUNK))
            self.wfile.write(CHUNK[:piece])
            size -= piece

    def do_PUT(self):
        left = int(self.headers.get("Content-Length", "0"))
        while left > 0:
            piece = self.rfile.read(min(left, 1 << 20))
            if not piece:
                return
            left -= len(piece)
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


class Tls(socketserver.StreamRequestHandler):
    def handle(self):
        line = self.rfile.readline()
        self.wfile.write(line)


class Threaded(socketserver.ThreadingMixIn, socketserver.TCPServer):
    allow_reuse_address = True
    daemon_threads = True
    request_queue_size = 64


class TlsServer(Threaded):
    def __init__(self, address, handler, context):
        super().__init__(address, handler)
        self.context = context

    def get_request(self):
        s, peer = self.socket.accept()
        s.settimeout(30)
        # The handshake happens at the handler's first read, in its own thread.
        return self.context.wrap_socket(s, server_side=True, do_handshake_on_connect=False), peer


def main():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_3
    context.load_cert_chain(sys.argv[1], sys.argv[2])
    servers = [Threaded(("0.0.0.0", 9002), RequestResponse),
               Threaded(("0.0.0.0", 8080), Http),
               TlsServer(("0.0.0.0", 8443), Tls, context)]
    threading.Thread(target=serve_udp, daemon=True).start()
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    print("ready", flush=True)
    threading.Event().wait()


if __name__ == "__main__":
    main()
