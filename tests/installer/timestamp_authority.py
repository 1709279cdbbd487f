# An RFC 3161 timestamp authority for the signing test: answers each request
# posted to it over HTTP on 127.0.0.1 with `openssl ts -reply`, in the current
# directory, with the configuration CONFIG. Prints the port it listens on.
# usage: python3 timestamp_authority.py CONFIG
import http.server
import subprocess
import sys


class Responder(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        with open('request.tsq', 'wb') as request:
            request.write(self.rfile.read(int(self.headers['Content-Length'])))
        subprocess.run(['openssl', 'ts', '-reply', '-config', sys.argv[1], '-queryfile', 'request.tsq',
                        '-out', 'reply.tsr'], stderr=subprocess.DEVNULL, check=True)
        with open('reply.tsr', 'rb') as reply:
            body = reply.read()
        self.send_response(200)
        self.send_header('Content-Type', 'application/timestamp-reply')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(('127.0.0.1', 0), Responder)
print(server.server_address[1], flush=True)
server.serve_forever()
