#!/usr/bin/env python3
"""Usage: kill_proxy.py WHEN PROGRAM [ARGS...]. Runs PROGRAM with its AWS requests passed one at a time to
AWS_ENDPOINT_URL and prints each request's action, one a line ("RunInstances DryRun" for a request marked
DryRun). WHEN is N: PROGRAM is killed (status 137) right after the Nth request; or SIGNAL:ACTION:K[:HOLD]:
SIGNAL (TERM, INT, or two of them as TERM+INT, 0.2 s apart) is sent once the answer to the Kth request of
ACTION is in, which is then held back HOLD seconds; the last line then says "ended S s after the signal"."""
import http.client, os, signal, subprocess, sys, threading, time, urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

WHEN, UPSTREAM = sys.argv[1].split(":"), urllib.parse.urlsplit(os.environ["AWS_ENDPOINT_URL"])
N = int(WHEN[0]) if len(WHEN) == 1 else -1
passed, signalled, lock = [], [], threading.Lock()

class Proxy(BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        hold = 0
        with lock:  # request N has taken effect before N + 1 is looked at
            if len(passed) == N:
                return child.kill()
            query = urllib.parse.parse_qs(body.decode("latin-1"))
            action = query.get("Action", [self.path])[0]
            passed.append(action + (" DryRun" if query.get("DryRun") == ["true"] else ""))
            upstream = http.client.HTTPConnection(UPSTREAM.hostname, UPSTREAM.port, timeout=60)
            upstream.request(self.command, self.path, body, dict(self.headers))
            reply = upstream.getresponse()
            answer = reply.read()
            if N < 0 and not signalled and action == WHEN[1] and passed.count(action) == int(WHEN[2]):
                signalled.append(time.monotonic())
                for n, name in enumerate(WHEN[0].split("+")):
                    time.sleep(0.2 if n else 0)
                    child.send_signal(getattr(signal, "SIG" + name))
                hold = float(WHEN[3]) if len(WHEN) > 3 else 0
        time.sleep(hold)
        try:
            self.send_response(reply.status)
            self.send_header("Content-Type", reply.getheader("Content-Type", "text/xml"))
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)
        except OSError:  # the program gave up on the answer held back
            pass

server = ThreadingHTTPServer(("127.0.0.1", 0), Proxy)
threading.Thread(target=server.serve_forever, daemon=True).start()
with lock:
    endpoint = f"http://127.0.0.1:{server.server_address[1]}"
    child = subprocess.Popen(sys.argv[2:], stdout=sys.stderr, env=dict(os.environ, AWS_ENDPOINT_URL=endpoint))
status = child.wait()
ended = time.monotonic()
print("".join(action + "\n" for action in passed), end="")
if signalled:
    print(f"ended {ended - signalled[0]:.2f} s after the signal")
sys.exit(128 - status if status < 0 else status)
