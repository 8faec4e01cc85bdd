# The board's web service as far as the daemon sees it: HTTP on 127.0.0.1:80. Each request
# line is appended to /run/vm-board/notify.log, and answered 200.
import http.server, os, socket, time

class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open("/run/vm-board/notify.log", "a") as log:
            log.write(f"{time.monotonic():.6f} {self.path}\n")
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, *args):
        pass

os.makedirs("/run/vm-board", exist_ok=True)
server = http.server.ThreadingHTTPServer(("127.0.0.1", 80), Handler)
addr = os.environ.get("NOTIFY_SOCKET")
if addr:
    s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    s.connect("\0" + addr[1:] if addr.startswith("@") else addr)
    s.send(b"READY=1")
    s.close()
server.serve_forever()
