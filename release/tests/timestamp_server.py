"""An RFC 3161 timestamp authority on 127.0.0.1, answering with `openssl ts -reply`.

    timestamp_server.py TSA_CONFIG SECONDS PORT_FILE [--silent]

Writes the port it listens on to PORT_FILE and serves until SECONDS have
passed, then stops by itself. With --silent it accepts connections and never
answers, as a server that hangs.
"""
import http.server
import os
import socket
import subprocess
import sys
import tempfile
import time

config, lifetime, port_file = sys.argv[1], float(sys.argv[2]), sys.argv[3]
silent = "--silent" in sys.argv[4:]
deadline = time.monotonic() + lifetime


class TimestampHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with tempfile.NamedTemporaryFile() as query_file:
            query_file.write(query)
            query_file.flush()
            reply = subprocess.run(
                ["openssl", "ts", "-reply", "-config", config, "-queryfile", query_file.name],
                capture_output=True)
        if reply.returncode != 0:
            sys.stderr.write(reply.stderr.decode())
            self.send_error(500)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)


def remaining():
    return max(0.01, deadline - time.monotonic())


if silent:
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    held = []
else:
    server = http.server.HTTPServer(("127.0.0.1", 0), TimestampHandler)
    port = server.server_address[1]
with open(port_file + ".new", "w") as out:
    out.write(str(port))
os.rename(port_file + ".new", port_file)

while time.monotonic() < deadline:
    if silent:
        listener.settimeout(remaining())
        try:
            held.append(listener.accept())
        except socket.timeout:
            pass
    else:
        server.timeout = remaining()
        server.handle_request()
