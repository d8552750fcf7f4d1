#!/usr/bin/env python3
"""Serves a directory over HTTP/1.1 on 127.0.0.1 with sendfile, so that the server is
not what limits a download benchmark.

    fileserver.py ROOT PORT_FILE

Listens on a free port and writes the port number to PORT_FILE once it accepts requests.
"""
import http.server
import os
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        root = os.path.realpath(self.server.root)
        path = os.path.realpath(os.path.join(root, self.path.split("?", 1)[0].lstrip("/")))
        if not path.startswith(root + os.sep) or not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.flush()
            self.connection.sendfile(f)
        self.close_connection = True

    def log_message(self, *args):
        pass


def main():
    root, port_file = sys.argv[1], sys.argv[2]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.root = root
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(port_file + ".tmp", port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
