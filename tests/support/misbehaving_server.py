#!/usr/bin/env python3
"""An HTTP server on 127.0.0.1 that misbehaves in the ways nginx will not.

Files are served from --root. The first path component may name a scenario that applies to
the rest of the path, so one server covers every case: /short/patch/x serves ROOT/patch/x
cut short. Without a scenario component, --scenario (default "plain") applies.

Scenarios:
  plain        a correct response with Content-Length
  nolength     no Content-Length; the body ends when the connection closes
  longer       Content-Length of the file, then extra bytes after the body
  grow         each further request of the same path is 1024 bytes longer than the one
               before (the file grew between the size query and the download)
  shrink       the first request of a path is correct; later ones carry no length and end
               halfway through the file
  short        Content-Length of the file, half the body, then the connection closes
  reset        Content-Length of the file, half the body, then the connection is reset
  stall        Content-Length of the file, half the body, then silence for --stall seconds
  silent       reads the request and never answers (for --stall seconds)
  garbage      a reply that is not HTTP
  errorpage    404 with an HTML page and its Content-Length, for any path
  unavailable  503 with an HTML page and its Content-Length, for any path (a server that is up
               but cannot serve, as behind a failing proxy)
  redirect     302 to /plain/<rest> on this server
  once         the first request of a path is correct; later ones get a non-HTTP reply
  echo         200 with the request head (request line and headers) as the body

On start it prints "PORT <n>" and a line end to standard output. Each request is logged to
standard error as "<scenario> <path>".
"""

import argparse
import os
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

from script_server import RawHandler, RawServer, serve_announced  # noqa: E402

SCENARIOS = {
    "plain", "nolength", "longer", "grow", "shrink", "short", "reset", "stall", "silent",
    "garbage", "errorpage", "redirect", "once", "echo", "unavailable",
}

ERROR_PAGE = (b"<html><head><title>404 Not Found</title></head>"
              b"<body><h1>Not Found</h1></body></html>\n")
UNAVAILABLE_PAGE = (b"<html><head><title>503 Service Unavailable</title></head>"
                    b"<body><h1>Service Unavailable</h1></body></html>\n")


class Handler(RawHandler):
    def split_scenario(self, path):
        path = path.split("?", 1)[0]
        components = [c for c in path.split("/") if c]
        if components and components[0] in SCENARIOS:
            return components[0], "/" + "/".join(components[1:])
        return self.server.default_scenario, "/" + "/".join(components)

    def not_found(self):
        self.send_head("404 Not Found", [("Content-Type", "text/html"),
                                         ("Content-Length", len(ERROR_PAGE)),
                                         ("Connection", "close")])
        self.wfile.write(ERROR_PAGE)

    def request_number(self, key):
        with self.server.lock:
            self.server.counts[key] = self.server.counts.get(key, 0) + 1
            return self.server.counts[key]

    def serve_one(self):
        path = self.read_request()
        if path is None:
            return
        scenario, rest = self.split_scenario(path)
        print("%s %s" % (scenario, rest), file=sys.stderr, flush=True)
        stall = self.server.stall_seconds

        if scenario == "silent":
            time.sleep(stall)
            return
        if scenario == "garbage" or (scenario == "once" and self.request_number(path) > 1):
            self.wfile.write(b"SSH-2.0-OpenSSH_9.2\r\nthis is not a web server\r\n")
            return
        if scenario == "echo":
            self.send_head("200 OK", [("Content-Length", len(self.request_head)),
                                      ("Connection", "close")])
            self.wfile.write(self.request_head)
            return
        if scenario == "errorpage":
            self.not_found()
            return
        if scenario == "unavailable":
            self.send_head("503 Service Unavailable", [("Content-Type", "text/html"),
                                                       ("Content-Length", len(UNAVAILABLE_PAGE)),
                                                       ("Connection", "close")])
            self.wfile.write(UNAVAILABLE_PAGE)
            return
        if scenario == "redirect":
            self.send_head("302 Found", [("Location", "/plain" + rest), ("Content-Length", 0),
                                         ("Connection", "close")])
            return

        body = self.load(rest)
        if body is None:
            self.not_found()
            return
        half = len(body) // 2
        plain_head = [("Content-Type", "application/octet-stream"),
                      ("Content-Length", len(body)), ("Connection", "close")]

        if scenario in ("plain", "once"):
            self.send_head("200 OK", plain_head)
            self.wfile.write(body)
        elif scenario == "nolength":
            self.send_head("200 OK", [("Content-Type", "application/octet-stream"),
                                      ("Connection", "close")])
            self.wfile.write(body)
        elif scenario == "longer":
            self.send_head("200 OK", plain_head)
            self.wfile.write(body + b"X" * 4096)
        elif scenario == "grow":
            extra = 1024 * (self.request_number(path) - 1)
            grown = body + b"G" * extra
            self.send_head("200 OK", [("Content-Length", len(grown)), ("Connection", "close")])
            self.wfile.write(grown)
        elif scenario == "shrink":
            if self.request_number(path) == 1:
                self.send_head("200 OK", plain_head)
                self.wfile.write(body)
            else:
                self.send_head("200 OK", [("Connection", "close")])
                self.wfile.write(body[:half])
        elif scenario == "short":
            self.send_head("200 OK", plain_head)
            self.wfile.write(body[:half])
        elif scenario == "reset":
            self.send_head("200 OK", plain_head)
            self.wfile.write(body[:half])
            self.wfile.flush()
            # SO_LINGER with a zero time-out makes close() send RST instead of FIN.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.connection.close()
        elif scenario == "stall":
            self.send_head("200 OK", plain_head)
            self.wfile.write(body[:half])
            self.wfile.flush()
            time.sleep(stall)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, help="directory the files are served from")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--scenario", default="plain", choices=sorted(SCENARIOS))
    parser.add_argument("--stall", type=float, default=30.0,
                        help="seconds the stall and silent scenarios keep quiet")
    args = parser.parse_args()

    server = RawServer(("127.0.0.1", args.port), Handler)
    server.root = os.path.realpath(args.root)
    server.default_scenario = args.scenario
    server.stall_seconds = args.stall
    server.lock = threading.Lock()
    server.counts = {}
    serve_announced(server)


if __name__ == "__main__":
    main()
