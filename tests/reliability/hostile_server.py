#!/usr/bin/env python3
"""An update server that misbehaves on chosen paths, for the reliability tests.

Files are served from --root. Each --rule SUFFIX=SCENARIO applies the scenario to every
request whose path ends with SUFFIX (the first matching rule wins); other paths are served
correctly. Scenarios:

  plain             200 with Content-Length and the file
  nolength          200 without Content-Length; the body ends when the connection closes
  longlength        Content-Length one kilobyte above the file's size, the file, then close
  shortlength       Content-Length half the file's size, then the whole file
  cut:N             Content-Length of the file, its first N bytes, then close
  trickle:S         Content-Length of the file, one byte per second for S seconds, then the rest
  trickle-stall:S   one byte per second for S seconds, then silence for --stall seconds
  endless           200 without Content-Length and a body that never ends
  endless-length    Content-Length of the file, the file, then bytes that never end
  status404         404 with an HTML page and its Content-Length
  empty404          404 with Content-Length 0, as the operator guide asks for a missing file
  status500         500 with an HTML page and its Content-Length
  redirect-loop     302 to the same path, for ever
  replace:FILE      200 with the bytes of FILE (relative to --root) in place of the file
  sized:N           200 with Content-Length N and N bytes, whether the file exists or not
  header-trickle    a status line, then one header line every 0.5 s for six times --stall
  reset             reads the request and resets the connection without an answer
  close             reads the request and closes the connection without an answer
  redirect-ftp      302 to the same path on an ftp:// address
  announce:N        200 with Content-Length N and no body (the connection closes)
  range-from:K      to a request with a Range header, 206 with the file from byte K on
                    (Content-Range "bytes K-LAST/SIZE"), whatever range was asked; else plain

A SCENARIO of several joined by "+" (close+close+plain) takes them in turn, one per request
of that path; requests after the last get the last. With --etag every answer that carries the
file names it by the ETag "hostile".

Every request is noted on standard error (and in --log) as "SCENARIO PATH". On start it prints
"PORT <n>" and a line end to standard output.
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

ERROR_PAGE = (b"<!DOCTYPE html><html><head><title>%s</title></head>"
              b"<body><h1>%s</h1><p>The server could not answer this request.</p></body></html>\n")


class Handler(RawHandler):
    def error_page(self, status):
        page = ERROR_PAGE % (status.encode(), status.encode())
        self.send_head(status, [("Content-Type", "text/html"), ("Content-Length", len(page)),
                                ("Connection", "close")])
        self.wfile.write(page)

    def serve_one(self):
        target = self.read_request()
        if target is None:
            return
        path = target.split("?", 1)[0]
        scenario = "plain"
        for suffix, rule in self.server.rules:
            if path.endswith(suffix):
                scenario = rule
                break
        if "+" in scenario:
            with self.server.lock:
                turn = self.server.turns.get(path, 0)
                self.server.turns[path] = turn + 1
            sequence = scenario.split("+")
            scenario = sequence[min(turn, len(sequence) - 1)]
        print("%s %s" % (scenario, path), file=sys.stderr, flush=True)
        if self.server.log:
            with open(self.server.log, "a") as log:
                log.write("%s %s\n" % (scenario, path))
        name, _, argument = scenario.partition(":")

        if name == "status404":
            return self.error_page("404 Not Found")
        if name == "empty404":
            self.send_head("404 Not Found", [("Content-Length", 0), ("Connection", "close")])
            return
        if name == "status500":
            return self.error_page("500 Internal Server Error")
        if name == "redirect-loop":
            self.send_head("302 Found", [("Location", path), ("Content-Length", 0),
                                         ("Connection", "close")])
            return
        if name == "announce":
            self.send_head("200 OK", [("Content-Length", int(argument)), ("Connection", "close")])
            return
        if name == "sized":
            self.send_head("200 OK", [("Content-Length", int(argument)), ("Connection", "close")])
            self.wfile.write(b"S" * int(argument))
            return
        if name == "header-trickle":
            self.wfile.write(b"HTTP/1.1 200 OK\r\n")
            deadline = time.time() + 6 * self.server.stall
            number = 0
            while time.time() < deadline:
                self.wfile.write(b"X-Trickle-%d: %d\r\n" % (number, number))
                self.wfile.flush()
                number += 1
                time.sleep(0.5)
            return
        if name == "reset":
            # A zero linger time turns the close that follows into a reset.
            self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        if name == "close":
            return
        if name == "redirect-ftp":
            self.send_head("302 Found", [("Location", "ftp://127.0.0.1:1" + path),
                                         ("Content-Length", 0), ("Connection", "close")])
            return
        if name == "endless":
            self.send_head("200 OK", [("Connection", "close")])
            self.endless()
            return

        body = self.load(argument if name == "replace" else path)
        if body is None:
            return self.error_page("404 Not Found")
        length = [("Content-Type", "application/octet-stream"), ("Connection", "close")]
        if self.server.etag:
            length.append(("ETag", '"hostile"'))
        if name == "range-from" and b"\nrange:" in self.request_head.lower():
            first = int(argument)
            self.send_head("206 Partial Content", length + [
                ("Content-Range", "bytes %d-%d/%d" % (first, len(body) - 1, len(body))),
                ("Content-Length", len(body) - first)])
            self.wfile.write(body[first:])
        elif name in ("plain", "replace", "range-from"):
            self.send_head("200 OK", length + [("Content-Length", len(body))])
            self.wfile.write(body)
        elif name == "nolength":
            self.send_head("200 OK", length)
            self.wfile.write(body)
        elif name == "longlength":
            self.send_head("200 OK", length + [("Content-Length", len(body) + 1024)])
            self.wfile.write(body)
        elif name == "shortlength":
            self.send_head("200 OK", length + [("Content-Length", len(body) // 2)])
            self.wfile.write(body)
        elif name == "cut":
            self.send_head("200 OK", length + [("Content-Length", len(body))])
            self.wfile.write(body[:int(argument)])
        elif name in ("trickle", "trickle-stall"):
            self.send_head("200 OK", length + [("Content-Length", len(body))])
            seconds = int(argument)
            for i in range(min(seconds, len(body))):
                self.wfile.write(body[i:i + 1])
                self.wfile.flush()
                time.sleep(1)
            if name == "trickle-stall":
                time.sleep(self.server.stall)
                return
            self.wfile.write(body[seconds:])
        elif name == "endless-length":
            self.send_head("200 OK", length + [("Content-Length", len(body))])
            self.wfile.write(body)
            self.endless()
        self.wfile.flush()

    def endless(self):
        chunk = b"Z" * 65536
        deadline = time.time() + self.server.stall
        while time.time() < deadline:
            self.wfile.write(chunk)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--rule", action="append", default=[], help="SUFFIX=SCENARIO")
    parser.add_argument("--stall", type=float, default=30.0,
                        help="seconds that silences and endless bodies last at most")
    parser.add_argument("--etag", action="store_true", help="name the file by an ETag")
    parser.add_argument("--log", help="appends \"SCENARIO PATH\" for every request to this file")
    args = parser.parse_args()

    server = RawServer(("127.0.0.1", 0), Handler)
    server.root = os.path.realpath(args.root)
    server.rules = [tuple(rule.split("=", 1)) for rule in args.rule]
    server.stall = args.stall
    server.log = args.log
    server.etag = args.etag
    server.lock = threading.Lock()
    server.turns = {}
    serve_announced(server)


if __name__ == "__main__":
    main()
