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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

from script_server import file_below, serve_announced  # noqa: E402

PIECE = 8192


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        full = file_below(self.server.root, urllib.parse.unquote(self.path.split("?", 1)[0]))
        if full is None:
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
    serve_announced(server)


if __name__ == "__main__":
    main()
