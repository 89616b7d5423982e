#!/usr/bin/env python3
"""A loopback SSO portal: GetRoleCredentials for one access token, account and role.

Any other token, account or role gets the portal's 401 UnauthorizedException. Every request's
path, query and token header are appended as JSON lines to --requests. Prints "READY <port>" once
listening; ends like the other test servers (lifeline).
"""
import argparse
import json
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from lifeline import watch

OPTIONS = None


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def answer(self, status, body, headers=None):
        payload = json.dumps(body).encode()
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    def do_GET(self):
        parsed = urllib.parse.urlsplit(self.path)
        query = {k: v[0] for k, v in urllib.parse.parse_qs(parsed.query).items()}
        token = self.headers.get("x-amz-sso_bearer_token")
        with open(OPTIONS.requests, "a", encoding="utf-8") as f:
            f.write(json.dumps({"path": parsed.path, "query": query, "token": token}) + "\n")
        wanted = {"role_name": OPTIONS.role, "account_id": OPTIONS.account}
        if parsed.path != "/federation/credentials" or query != wanted or token != OPTIONS.token:
            self.answer(401, {"message": "Session token not found or invalid"},
                        {"x-amzn-ErrorType": "UnauthorizedException"})
            return
        expiration_ms = int((time.time() + 3600) * 1000)
        self.answer(200, {"roleCredentials": {"accessKeyId": "SSOKEY", "secretAccessKey": "SSOSECRET",
                                              "sessionToken": "SSOTOKEN", "expiration": expiration_ms}})


def main():
    global OPTIONS
    parser = argparse.ArgumentParser()
    for name in ("--token", "--account", "--role", "--requests"):
        parser.add_argument(name, required=True)
    parser.add_argument("--lifetime", type=float, default=1800)
    OPTIONS = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(f"READY {server.server_address[1]}", flush=True)
    watch(OPTIONS.lifetime)


if __name__ == "__main__":
    main()
