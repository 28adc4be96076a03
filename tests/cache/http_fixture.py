#!/usr/bin/env python3
"""Local HTTP(S) server for the cache tests.

Serves the files of --root and a few hostile routes. Prints its port on the
first line of stdout, then appends one JSON line per request to --requests
(path, Host, User-Agent, Authorization).

Routes: /files/<name>, /redirect/<name> (302 to /files/<name>),
/redirect-to?url=<absolute url>, /loop (redirects to itself),
/auth/<name> (Basic auth, the expected "user:pass" given by --auth),
/status/<code>, /stall (headers, a few bytes, then silence),
/drip (a byte every 0.2 s), /endless (200 without a length, zeros until
the client goes),
/claims-huge (Content-Length of 3 GB, zeros until the client goes).
"""
import argparse
import base64
import json
import os
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self):
        entry = {
            "path": self.path,
            "host": self.headers.get("Host", ""),
            "user_agent": self.headers.get("User-Agent", ""),
            "authorization": self.headers.get("Authorization", ""),
        }
        with self.server.lock, open(self.server.requests, "a") as f:
            f.write(json.dumps(entry) + "\n")

    def send_body(self, code, body, ctype="application/octet-stream", extra=()):
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        for k, v in extra:
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(body)

    def serve_file(self, name):
        # Names are bytes as sent (percent-decoded), not UTF-8 text.
        name = urllib.parse.unquote_to_bytes(name)
        path = os.path.join(os.fsencode(self.server.root), os.path.basename(name))
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError:
            self.send_body(404, b"not found", "text/plain")
            return
        self.send_body(200, data)

    def stream_zeros(self, headers):
        self.send_response(200)
        for k, v in headers:
            self.send_header(k, v)
        self.end_headers()
        chunk = b"\0" * 65536
        try:
            while True:
                self.wfile.write(chunk)
        except OSError:
            pass
        self.close_connection = True

    def do_GET(self):
        self.record()
        url = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(url.path)
        if path.startswith("/files/"):
            self.serve_file(url.path[len("/files/"):])
        elif path.startswith("/redirect/"):
            self.send_body(302, b"", extra=[("Location", "/files/" + url.path[len("/redirect/"):])])
        elif path == "/redirect-to":
            target = urllib.parse.parse_qs(url.query)["url"][0]
            self.send_body(302, b"", extra=[("Location", target)])
        elif path == "/loop":
            self.send_body(302, b"", extra=[("Location", "/loop")])
        elif path.startswith("/auth/"):
            expected = "Basic " + base64.b64encode(self.server.auth.encode("latin-1")).decode()
            if self.headers.get("Authorization", "") == expected:
                self.serve_file(url.path[len("/auth/"):])
            else:
                self.send_body(401, b"who are you", "text/plain",
                               [("WWW-Authenticate", 'Basic realm="kiv"')])
        elif path.startswith("/status/"):
            code = int(path[len("/status/"):])
            self.send_body(code, b"" if code in (204, 304) else b"status page", "text/plain")
        elif path == "/stall":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"\x89PNG")
            self.wfile.flush()
            time.sleep(3600)
        elif path == "/drip":
            self.send_response(200)
            self.send_header("Content-Length", "100000")
            self.end_headers()
            try:
                while True:
                    self.wfile.write(b"\0")
                    self.wfile.flush()
                    time.sleep(0.2)
            except OSError:
                pass
        elif path == "/endless":
            self.stream_zeros([("Connection", "close")])
        elif path == "/claims-huge":
            self.stream_zeros([("Content-Length", str(3 * 1024 ** 3))])
        else:
            self.send_body(404, b"not found", "text/plain")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--requests", required=True)
    parser.add_argument("--auth", default="")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.root = args.root
    server.requests = args.requests
    server.auth = args.auth
    server.lock = threading.Lock()
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    # The test closes our stdin when it is done; end with it.
    threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
