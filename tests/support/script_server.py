"""What the Python test servers share: answering requests on a bare socket with files from a
root directory, and announcing the port that the launcher in nginx_fixture reads.

The servers import it with tests/support on their path (see their first lines).
"""

import os
import socketserver


def file_below(root, relative):
    """The real path of a file below root, or None (missing, or outside root)."""
    full = os.path.realpath(os.path.join(root, relative.lstrip("/")))
    if not full.startswith(root + os.sep) or not os.path.isfile(full):
        return None
    return full


class RawHandler(socketserver.StreamRequestHandler):
    """One request per connection, answered by serve_one(); a client that hangs up ends it."""

    def handle(self):
        try:
            self.serve_one()
        except (BrokenPipeError, ConnectionResetError):
            pass

    def read_request(self):
        """The request target, or None for a connection that sent nothing. The request line
        and the headers are kept in request_head."""
        request_line = self.rfile.readline(65537)
        if not request_line:
            return None
        self.request_head = request_line
        while True:
            line = self.rfile.readline(65537)
            if not line or line in (b"\r\n", b"\n"):
                break
            self.request_head += line
        parts = request_line.decode("latin-1").split()
        return parts[1] if len(parts) >= 2 else "/"

    def load(self, relative):
        """The bytes of a file below the server's root, or None."""
        full = file_below(self.server.root, relative)
        if full is None:
            return None
        with open(full, "rb") as f:
            return f.read()

    def send_head(self, status, headers):
        lines = ["HTTP/1.1 %s" % status] + ["%s: %s" % h for h in headers]
        self.wfile.write(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        self.wfile.flush()


class RawServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def serve_announced(server):
    """Prints "PORT <n>" for the launcher, then serves until interrupted."""
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
