#!/usr/bin/env python3
"""A slow static HTTP server on 127.0.0.1: files from --root with their Content-Length,
the body sent in small pieces at about --rate bytes per second, so that a download lasts
long enough to be watched or interrupted. A missing file is a 404 with an empty body.

On start it prints "PORT <n>" and a line end to standard output.
"""

import argparse
import http.server
import os
import sys
import time
import urllib.parse

PIECE = 8192


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        rest = urllib.parse.unquote(self.path.split("?", 1)[0]).lstrip("/")
        full = os.path.realpath(os.path.join(self.server.root, rest))
        if not full.startswith(self.server.root + os.sep) or not os.path.isfile(full):
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            self.end_headers()
            return
        with open(full, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        try:
            for start in range(0, len(body), PIECE):
                self.wfile.write(body[start:start + PIECE])
                self.wfile.flush()
                time.sleep(PIECE / self.server.rate)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def log_message(self, fmt, *args):
        sys.stderr.write("%s\n" % (fmt % args))


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--rate", type=float, default=1 << 20, help="bytes per second")
    args = parser.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    server.root = os.path.realpath(args.root)
    server.rate = args.rate
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
