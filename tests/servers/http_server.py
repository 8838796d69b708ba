#!/usr/bin/env python3
"""A small HTTP(S) server for the download and update tests.

Serves the files of ROOT on 127.0.0.1 at a free port and prints "port N" on
standard output once it listens. Leading path segments of a request steer how
it answers, so a test can hand the device a base address such as
"http://127.0.0.1:N/slow=2000/" and every file fetched under it behaves so:

  slow=B          send the body at about B bytes per second
  stall           send the head (with the length) and then nothing
  endless         a 200 answer whose body never ends (no length)
  cut=N           announce the whole length, send N bytes, close
  status=C        answer with status C and a short body
  auth=USER:PASS  require Basic authentication (401 without it)
  gate=NAME       send the first quarter of the body, then wait until the
                  file NAME exists in the control folder, then the rest
  redirect=KIND   302 to the same path without the controls: KIND "self"
                  stays on this server, "loop" redirects back to itself
                  forever, "http" goes to plain http on this port, "ftp"
                  and "file" lead to those schemes

Every request is appended to the control folder's "requests.log" as
"METHOD PATH" (the path as asked, controls included), one a line.
"""
import argparse
import base64
import os
import ssl
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "nxtest/1"

    def log_message(self, fmt, *args):  # quiet: the request log is ours
        pass

    def do_HEAD(self):
        self.answer(head_only=True)

    def do_GET(self):
        self.answer(head_only=False)

    def record(self):
        with open(os.path.join(self.server.control, "requests.log"), "a") as log:
            log.write(f"{self.command} {self.path}\n")

    def plain(self, code, text, extra=()):
        body = text.encode()
        self.send_response(code)
        for k, v in extra:
            self.send_header(k, v)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def answer(self, head_only):
        self.record()
        path = unquote(self.path.split("?", 1)[0])
        parts = [p for p in path.split("/") if p]
        controls = {}
        while parts and ("=" in parts[0] or parts[0] in ("stall", "endless")):
            seg = parts.pop(0)
            key, _, value = seg.partition("=")
            controls[key] = value
        rest = "/".join(parts)
        host = f"127.0.0.1:{self.server.server_port}"
        scheme = "https" if self.server.tls else "http"
        try:
            if "redirect" in controls:
                kind = controls["redirect"]
                target = {
                    "self": f"{scheme}://{host}/{rest}",
                    "loop": f"{scheme}://{host}{self.path}",
                    "http": f"http://{host}/{rest}",
                    "ftp": f"ftp://{host}/{rest}",
                    "file": "file:///etc/hostname",
                }.get(kind, f"{scheme}://{host}/{rest}")
                self.plain(302, "moved\n", [("Location", target)])
                return
            if "auth" in controls:
                want = "Basic " + base64.b64encode(controls["auth"].encode()).decode()
                if self.headers.get("Authorization") != want:
                    self.plain(401, "who are you\n", [("WWW-Authenticate", 'Basic realm="nxtest"')])
                    return
            if "status" in controls:
                self.plain(int(controls["status"]), "as asked\n")
                return
            if "endless" in controls:
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.end_headers()
                chunk = b"\0" * 16384
                while True:
                    self.wfile.write(chunk)
            full = os.path.realpath(os.path.join(self.server.root, rest))
            if not full.startswith(self.server.root + os.sep) or not os.path.isfile(full):
                self.plain(404, "not here\n")
                return
            with open(full, "rb") as f:
                body = f.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if head_only:
                return
            if "stall" in controls:
                self.wfile.flush()
                time.sleep(3600)
                return
            if "cut" in controls:
                self.wfile.write(body[: int(controls["cut"])])
                return
            if "gate" in controls:
                first = len(body) // 4
                self.wfile.write(body[:first])
                self.wfile.flush()
                gate = os.path.join(self.server.control, controls["gate"])
                while not os.path.exists(gate):
                    time.sleep(0.01)
                self.wfile.write(body[first:])
                return
            if "slow" in controls:
                rate = max(1, int(controls["slow"]))
                step = max(1, rate // 20)
                for i in range(0, len(body), step):
                    self.wfile.write(body[i : i + step])
                    self.wfile.flush()
                    time.sleep(step / rate)
                return
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("root")
    ap.add_argument("--control", help="folder of requests.log and the gates (default: ROOT's parent)")
    ap.add_argument("--cert")
    ap.add_argument("--key")
    args = ap.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.root = os.path.realpath(args.root)
    server.control = args.control or os.path.dirname(server.root)
    server.tls = bool(args.cert)
    if args.cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.cert, args.key)
        server.socket = ctx.wrap_socket(server.socket, server_side=True)
    print(f"port {server.server_port}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
