#!/usr/bin/env python3
"""Runs the tests' boto3 snippets in one long-lived interpreter, so that each costs its calls and
not a start of Python and an import of boto3.

POST / with the snippet as the body and the emulator's address in X-Endpoint. The answer is 200 with
what the snippet printed, or 500 with that and the snippet's traceback. Snippets run one at a time,
each in a namespace of its own with the clients `ec2`, `iam`, `s3`, `ssm`, `sts` and `out(value)`.
Prints "READY <port>" once it answers; stops as the emulator launcher does.
"""
import argparse
import contextlib
import io
import json
import os
import threading
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import boto3
from botocore.config import Config

from lifeline import watch

_CONFIG = Config(retries={"max_attempts": 1})
_LOCK = threading.Lock()
_CLIENTS = {}


def _clients(endpoint):
    if endpoint not in _CLIENTS:
        _CLIENTS[endpoint] = {name: boto3.client(name, config=_CONFIG) for name in ("ec2", "iam", "s3", "ssm", "sts")}
    return _CLIENTS[endpoint]


def run(code, endpoint):
    """What the snippet printed, and its traceback if it failed."""
    printed = io.StringIO()
    with _LOCK, contextlib.redirect_stdout(printed):
        # Clients the snippet makes itself find the emulator the same way.
        os.environ["AWS_ENDPOINT_URL"] = endpoint
        namespace = dict(_clients(endpoint), json=json, boto3=boto3, Config=Config,
                         out=lambda value: print(json.dumps(value, default=str)))
        try:
            exec(compile(code, "<snippet>", "exec"), namespace)
            return printed.getvalue(), None
        except BaseException:  # noqa: B036 -- a snippet's SystemExit is its failure too
            return printed.getvalue(), traceback.format_exc()


class Handler(BaseHTTPRequestHandler):
    def do_POST(self):
        code = self.rfile.read(int(self.headers.get("Content-Length", "0"))).decode()
        printed, failure = run(code, self.headers["X-Endpoint"])
        body = (printed if failure is None else printed + failure).encode()
        self.send_response(200 if failure is None else 500)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *_):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lifetime", type=float, default=1800)
    options = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(f"READY {server.server_address[1]}", flush=True)
    watch(options.lifetime)


if __name__ == "__main__":
    main()
