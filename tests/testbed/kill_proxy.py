#!/usr/bin/env python3
"""Usage: kill_proxy.py N PROGRAM [ARGS...]. Runs PROGRAM with its AWS requests passed one at a time to
AWS_ENDPOINT_URL and kills it (status 137) right after the Nth; prints each request's action, one a line
("RunInstances DryRun" for a request marked DryRun)."""
import http.client, os, subprocess, sys, threading, urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

N, UPSTREAM = int(sys.argv[1]), urllib.parse.urlsplit(os.environ["AWS_ENDPOINT_URL"])
passed, lock = [], threading.Lock()

class Proxy(BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        with lock:  # request N has taken effect before N + 1 is looked at
            if len(passed) == N:
                return child.kill()
            query = urllib.parse.parse_qs(body.decode("latin-1"))
            passed.append(query.get("Action", [self.path])[0] + (" DryRun" if query.get("DryRun") == ["true"] else ""))
            upstream = http.client.HTTPConnection(UPSTREAM.hostname, UPSTREAM.port, timeout=60)
            upstream.request(self.command, self.path, body, dict(self.headers))
            reply = upstream.getresponse()
            answer = reply.read()
        self.send_response(reply.status)
        self.send_header("Content-Type", reply.getheader("Content-Type", "text/xml"))
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)

server = ThreadingHTTPServer(("127.0.0.1", 0), Proxy)
threading.Thread(target=server.serve_forever, daemon=True).start()
with lock:
    endpoint = f"http://127.0.0.1:{server.server_address[1]}"
    child = subprocess.Popen(sys.argv[2:], stdout=sys.stderr, env=dict(os.environ, AWS_ENDPOINT_URL=endpoint))
status = child.wait()
print("".join(action + "\n" for action in passed), end="")
sys.exit(128 - status if status < 0 else status)
