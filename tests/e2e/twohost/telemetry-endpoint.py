#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""A telemetry endpoint for the managed-mode tests, on 127.0.0.1 of the host it runs in.

  telemetry-endpoint.py OUT
Every request body is appended to OUT as one line. Prints "listening PORT" once ready.
"""
import http.server
import sys
import threading

out = sys.argv[1]
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with lock, open(out, "ab") as f:
            f.write(body.replace(b"\n", b" ") + b"\n")
        self.send_response(204)
        self.send_header("Content-Length", "0")
        self.end_headers()


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print("listening", server.server_address[1], flush=True)
server.serve_forever()
