"""A time-stamp authority on the loopback, for the signing test: every POST is an RFC 3161
request, answered by `openssl ts -reply` with the given configuration.

    tsa-server.py CONFIG PORT_FILE

It listens on 127.0.0.1 at a port of the system's choosing, writes the port to PORT_FILE
once it listens, and serves until it is ended. Each request and reply is kept beside
PORT_FILE (request-N.tsq, reply-N.tsr), so the test can tell that it was asked.
"""

import http.server
import os
import subprocess
import sys
import tempfile

config, port_file = sys.argv[1], sys.argv[2]
folder = os.path.dirname(os.path.abspath(port_file))


class TimeStampHandler(http.server.BaseHTTPRequestHandler):
    served = 0

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        request = self.rfile.read(length)
        TimeStampHandler.served += 1
        n = TimeStampHandler.served
        query = os.path.join(folder, f"request-{n}.tsq")
        reply = os.path.join(folder, f"reply-{n}.tsr")
        with open(query, "wb") as f:
            f.write(request)
        made = subprocess.run(
            ["openssl", "ts", "-reply", "-config", config, "-queryfile", query, "-out", reply],
            capture_output=True,
        )
        if made.returncode != 0:
            sys.stderr.write(made.stderr.decode(errors="replace"))
            self.send_error(500, "openssl ts failed")
            return
        with open(reply, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):
        sys.stderr.write("tsa: " + (format % args) + "\n")


server = http.server.HTTPServer(("127.0.0.1", 0), TimeStampHandler)
# Written whole, then renamed: the test never reads half a port number.
with tempfile.NamedTemporaryFile("w", dir=folder, delete=False) as f:
    f.write(str(server.server_address[1]))
os.rename(f.name, port_file)
server.serve_forever()
