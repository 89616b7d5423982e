#!/usr/bin/env python3
"""Runs a program whose AWS requests pass through a counting proxy to AWS_ENDPOINT_URL, and
SIGKILLs it when request LIMIT + 1 arrives, so that exactly LIMIT requests took effect.

Usage: kill_proxy.py LIMIT PROGRAM [ARGS...]. The program's standard output goes to standard
error; standard output gets the action of each request passed on, one a line. Ends with the
program's status (128 + 9 when it was killed).
"""
import http.client
import os
import signal
import socket
import subprocess
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HOP_BY_HOP = {"connection", "keep-alive", "transfer-encoding", "content-length"}


class State:
    limit = 0
    passed = []
    child = None
    upstream = None
    # One request at a time, so that request N has taken effect before N + 1 is looked at.
    lock = threading.Lock()


class Proxy(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        # Headers and body go out in two writes; without this each answer waits for a delayed ACK.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def do_request(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        with State.lock:
            if len(State.passed) == State.limit:
                os.kill(State.child.pid, signal.SIGKILL)
                self.close_connection = True
                return
            action = urllib.parse.parse_qs(body.decode("latin-1")).get("Action", [self.command + " " + self.path])
            State.passed.append(action[0])
            status, headers, answer = self.pass_on(body)
        self.send_response(status)
        for name, value in headers:
            if name.lower() not in HOP_BY_HOP:
                self.send_header(name, value)
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)

    def pass_on(self, body):
        connection = http.client.HTTPConnection(State.upstream.hostname, State.upstream.port, timeout=60)
        try:
            headers = {k: v for k, v in self.headers.items() if k.lower() not in HOP_BY_HOP}
            connection.request(self.command, self.path, body=body, headers=headers)
            reply = connection.getresponse()
            return reply.status, reply.getheaders(), reply.read()
        finally:
            connection.close()

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = do_request

    def log_message(self, *args):
        pass


def main():
    State.limit = int(sys.argv[1])
    State.upstream = urllib.parse.urlsplit(os.environ["AWS_ENDPOINT_URL"])
    server = ThreadingHTTPServer(("127.0.0.1", 0), Proxy)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    env = dict(os.environ, AWS_ENDPOINT_URL=f"http://127.0.0.1:{server.server_address[1]}")
    with State.lock:
        State.child = subprocess.Popen(sys.argv[2:], env=env, stdout=sys.stderr)
    status = State.child.wait()
    print("".join(action + "\n" for action in State.passed), end="", flush=True)
    sys.exit(128 - status if status < 0 else status)


if __name__ == "__main__":
    main()
