#!/usr/bin/env python3
"""Local HTTP(S) server for the cache tests: http_fixture.py ROOT REQUESTS AUTH [tls].

Prints its port; logs each request to REQUESTS as a line: path, Host, Authorization,
User-Agent, separated by tabs. Routes: see do_GET (AUTH is "user:pass" for /auth/).
"""
import base64, os, ssl, subprocess, sys, threading, time, urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, code, body=b"", headers=()):
        self.send_response(code)
        for k, v in headers or [("Content-Length", len(body))]:
            self.send_header(k, str(v))
        self.end_headers()
        try:
            while True:  # a body given as a function is written until the client goes
                self.wfile.write(body() if callable(body) else body)
                if not callable(body):
                    return
        except OSError:
            self.close_connection = True

    def do_GET(self):
        h = self.headers
        with self.server.lock, open(sys.argv[2], "a") as f:
            f.write("\t".join([self.path] + [h[k] or "" for k in ("Host", "Authorization", "User-Agent")]) + "\n")
        url = urllib.parse.urlsplit(self.path)
        route, _, rest = url.path[1:].partition("/")
        # File names are bytes as sent (percent-decoded), not UTF-8 text.
        path = os.path.join(os.fsencode(sys.argv[1]), os.path.basename(urllib.parse.unquote_to_bytes(rest)))
        authorized = h["Authorization"] == "Basic " + base64.b64encode(sys.argv[3].encode("latin-1")).decode()
        if route == "files" or route == "auth" and authorized:
            self.reply(*((200, open(path, "rb").read()) if os.path.isfile(path) else (404, b"not found")))
        elif route in ("redirect", "redirect-to", "loop"):
            target = {"redirect": "/files/" + rest, "loop": "/loop"}.get(route) or urllib.parse.parse_qs(url.query)["url"][0]
            self.reply(302, headers=[("Location", target), ("Content-Length", 0)])
        elif route == "auth":
            self.reply(401, headers=[("WWW-Authenticate", 'Basic realm="kiv"'), ("Content-Length", 0)])
        elif route == "status":
            self.reply(int(rest), b"" if rest == "204" else b"status page")
        elif route == "drip":
            self.reply(200, lambda: (time.sleep(0.2), b"\0")[1], [("Content-Length", 100000)])
        elif route == "endless":
            self.reply(200, lambda: b"\0" * 65536, [("Connection", "close")])


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads, server.lock = True, threading.Lock()
if len(sys.argv) > 4:  # HTTPS with a self-signed certificate made now
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=kiv-test",
                    "-keyout", sys.argv[2] + ".key", "-out", sys.argv[2] + ".pem"], check=True, capture_output=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[2] + ".pem", sys.argv[2] + ".key")
    server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
# The test closes our stdin when it is done; end with it.
threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
server.serve_forever()
