#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that cuts connections: it forwards every connection to --target
and, counting the bytes it passes from the server to the client over all connections, closes
the connection that crosses each of --cuts points chosen at random (seeded by --seed) between
--first and --last. Every cut is appended to --log as "CUT <offset>". With --exit-after-cuts
the proxy ends after its last cut, so that the address then refuses connections (a server
that went down).

On start it prints "PORT <n>" and a line end to standard output.
"""

import argparse
import os
import random
import socket
import sys
import threading

CHUNK = 16384


class Cuts:
    def __init__(self, points, log, exit_after):
        self.exit_after = exit_after
        self.points = sorted(points)
        self.passed = 0
        self.lock = threading.Lock()
        self.log = log

    def allow(self, length):
        """How many of length bytes may pass before the next cut, and whether to cut then."""
        with self.lock:
            if self.points and self.passed + length >= self.points[0]:
                allowed = self.points[0] - self.passed
                self.passed = self.points.pop(0)
                if self.log:
                    with open(self.log, "a") as log:
                        log.write("CUT %d\n" % self.passed)
                return max(allowed, 0), True
            self.passed += length
            return length, False


def pump_upstream(client, server):
    try:
        while True:
            data = client.recv(CHUNK)
            if not data:
                break
            server.sendall(data)
    except OSError:
        pass
    try:
        server.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def serve(client, target, cuts):
    server = socket.create_connection(target)
    # Small buffers, so that the server does not send far ahead of what reaches the client.
    server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    threading.Thread(target=pump_upstream, args=(client, server), daemon=True).start()
    try:
        while True:
            data = server.recv(CHUNK)
            if not data:
                break
            allowed, cut = cuts.allow(len(data))
            client.sendall(data[:allowed])
            if cut:
                if cuts.exit_after and not cuts.points:
                    os._exit(0)
                break
    except OSError:
        pass
    for sock in (client, server):
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        sock.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--target", required=True, help="HOST:PORT")
    parser.add_argument("--cuts", type=int, default=5)
    parser.add_argument("--first", type=int, required=True, help="earliest cut, in bytes")
    parser.add_argument("--last", type=int, required=True, help="latest cut, in bytes")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--log")
    parser.add_argument("--exit-after-cuts", action="store_true")
    args = parser.parse_args()

    host, port = args.target.rsplit(":", 1)
    generator = random.Random(args.seed)
    cuts = Cuts(generator.sample(range(args.first, args.last + 1), args.cuts), args.log,
                args.exit_after_cuts)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client, (host, int(port)), cuts),
                         daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
