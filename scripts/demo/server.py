#!/usr/bin/env python3
"""Local stand-in for the update service, for the demo run only.

Serves on 127.0.0.1: the version server's answer (a serialized Versions
message), the update file tree and the banner image over HTTP, and the banner
answer over UDP port 2009. Prints the HTTP port on its first line of output.
"""
import http.server
import os
import socketserver
import sys
import threading


def varint(n):
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        if n:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def field(number, wire_type, payload):
    return varint(number << 3 | wire_type) + payload


def length_delimited(number, data):
    return field(number, 2, varint(len(data)) + data)


def versions_answer(channels):
    body = field(1, 0, varint(1))  # licenseAgreementId
    for name, number, text in channels:
        channel = (length_delimited(1, name.encode()) + field(2, 0, varint(number))
                   + length_delimited(3, text.encode()))
        body += length_delimited(2, channel)
    return body


class Handler(http.server.SimpleHTTPRequestHandler):
    answer = b""

    def do_GET(self):
        if self.path == "/vx3-client-2":
            self.send_response(200)
            self.send_header("Content-Length", str(len(self.answer)))
            self.end_headers()
            self.wfile.write(self.answer)
        else:
            super().do_GET()

    def log_message(self, fmt, *args):
        sys.stderr.write("demo server: " + fmt % args + "\n")


class BannerServer(socketserver.BaseRequestHandler):
    reply = b""

    def handle(self):
        data, sock = self.request
        if data == b"\x01\x01":
            sock.sendto(self.reply, self.client_address)


def main():
    root, version, version_text = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    Handler.answer = versions_answer([("stable", version, version_text), ("beta", version, version_text)])
    os.chdir(root)
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    port = httpd.server_address[1]
    BannerServer.reply = f"http://127.0.0.1:{port}/banner.png,http://127.0.0.1:{port}/".encode("latin-1")
    udp = socketserver.UDPServer(("127.0.0.1", 2009), BannerServer)
    threading.Thread(target=udp.serve_forever, daemon=True).start()
    print(port, flush=True)
    httpd.serve_forever()


if __name__ == "__main__":
    main()
