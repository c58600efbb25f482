#!/usr/bin/env python3
"""A telemetry endpoint for the managed-mode tests, on 127.0.0.1 of the host it runs in.

  telemetry-endpoint.py MODE OUT
MODE: record (204), status:N, redirect:URL, silent (reads, never answers),
huge (200 with a 100 MB body), tls:CERT:KEY (204 over TLS with that identity).
Every request body is appended to OUT as one line. Prints "listening PORT" once ready.
"""
import http.server
import socket
import ssl
import sys
import threading

mode, out = sys.argv[1], sys.argv[2]
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with lock, open(out, "ab") as f:
            f.write(body.replace(b"\n", b" ") + b"\n")
        if mode == "silent":
            threading.Event().wait()
        if mode.startswith("status:"):
            self.answer(int(mode.split(":")[1]))
        elif mode.startswith("redirect:"):
            self.answer(301, [("Location", mode.split(":", 1)[1])])
        elif mode == "huge":
            self.send_response(200)
            self.send_header("Content-Length", str(100 * 1024 * 1024))
            self.end_headers()
            chunk = b"x" * (1 << 20)
            try:
                for _ in range(100):
                    self.wfile.write(chunk)
            except OSError:
                pass
        else:
            self.answer(204)

    def answer(self, status, headers=()):
        self.send_response(status)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Length", "0")
        self.end_headers()


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
if mode.startswith("tls:"):
    _, cert, key = mode.split(":")
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
print("listening", server.server_address[1], flush=True)
server.serve_forever()
