#!/usr/bin/env python3
"""Small loopback HTTP(S) servers standing in for the services the programs talk to.

Modes: "metadata" (the instance metadata service), "ipecho" (the public-address service), "sso"
(the SSO portal, sso_portal.py) and "generic" (routes only). In every mode the fixture's "routes"
are tried first. The fixture file is read again for each request so a test can change answers
while the server runs; every request is appended, as one JSON line, to the requests file before
it is answered.

Prints "READY <port>" once listening. Ends when its standard input closes, when its parent goes
away, or after --lifetime seconds.
"""
import argparse
import json
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from aws_front import front_answer
from lifeline import watch
from sso_portal import sso_answer

TOKEN_PATH = "/latest/api/token"
TOKEN_TTL_HEADER = "X-aws-ec2-metadata-token-ttl-seconds"
TOKEN_HEADER = "X-aws-ec2-metadata-token"
IDENTITY_PATH = "/latest/dynamic/instance-identity/document"
CREDENTIALS_PATH = "/latest/meta-data/iam/security-credentials/"


class State:
    fixture_path = ""
    requests_path = ""
    mode = "generic"
    lock = threading.Lock()
    sequence_positions = {}


def load_fixture():
    try:
        with open(State.fixture_path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def subset(expected, actual):
    return all(actual.get(k) == v for k, v in (expected or {}).items())


def first_values(pairs):
    return {k: v[0] for k, v in pairs.items()}


class Answer:
    def __init__(self, status=200, body="", headers=None, delay=0):
        self.status = status
        self.body = body
        self.headers = headers or {}
        self.delay = delay

    @staticmethod
    def from_fixture(entry):
        body = entry.get("body", "")
        headers = dict(entry.get("headers", {}))
        if not isinstance(body, str):
            body = json.dumps(body)
            headers.setdefault("Content-Type", "application/json")
        return Answer(entry.get("status", 200), body, headers, entry.get("delay", 0))


def json_answer(value, status=200, headers=None):
    return Answer(status, json.dumps(value), {"Content-Type": "application/json", **(headers or {})})


def route_answer(fixture, request):
    for index, route in enumerate(fixture.get("routes", [])):
        if route.get("method", request["method"]) != request["method"]:
            continue
        if route.get("path", request["path"]) != request["path"]:
            continue
        if not subset(route.get("query"), request["query"]):
            continue
        if not subset(route.get("form"), request["form"]):
            continue
        if "sequence" in route:
            # Answers in turn; the last one repeats.
            with State.lock:
                position = State.sequence_positions.get(index, 0)
                State.sequence_positions[index] = position + 1
            steps = route["sequence"]
            return Answer.from_fixture(steps[min(position, len(steps) - 1)])
        return Answer.from_fixture(route)
    return None


def metadata_answer(fixture, request):
    token = fixture.get("token", "fake-metadata-token")
    if request["path"] == TOKEN_PATH:
        if request["method"] != "PUT":
            return Answer(405, "")
        if "tokenStatus" in fixture:
            return Answer(fixture["tokenStatus"], "")
        if TOKEN_TTL_HEADER.lower() not in request["headers"]:
            return Answer(400, "")
        return Answer(200, token, {TOKEN_TTL_HEADER: request["headers"][TOKEN_TTL_HEADER.lower()]})
    if request["method"] != "GET":
        return Answer(405, "")
    sent = request["headers"].get(TOKEN_HEADER.lower())
    if sent is not None and sent != token:
        return Answer(401, "")
    if fixture.get("requireToken") and sent is None:
        return Answer(401, "")
    if request["path"] == IDENTITY_PATH:
        return json_answer(fixture.get("identity", {}))
    role = fixture.get("role", "fake-instance-role")
    if request["path"] == CREDENTIALS_PATH:
        return Answer(200, role)
    if request["path"] == CREDENTIALS_PATH + role:
        return json_answer(fixture.get("credentials", {}))
    return Answer(404, "")


def ipecho_answer(fixture, request):
    if request["method"] == "GET" and request["path"] == "/" and request["query"].get("format") == "json":
        return json_answer({"ip": fixture.get("ip", "203.0.113.10")})
    return Answer(404, "")


MODES = {"metadata": metadata_answer, "ipecho": ipecho_answer, "awsfront": lambda f, r: Answer(*front_answer(f, r)),
         "sso": lambda fixture, request: json_answer(*sso_answer(fixture, request))}


def record(request):
    with State.lock:
        with open(State.requests_path, "a", encoding="utf-8") as f:
            f.write(json.dumps(request) + "\n")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        sys.stderr.write("%s %s\n" % (self.address_string(), fmt % args))

    def handle_any(self):
        parsed = urllib.parse.urlsplit(self.path)
        length = int(self.headers.get("Content-Length") or 0)
        raw_body = self.rfile.read(length) if length else b""
        body = raw_body.decode("utf-8", "replace")
        form = {}
        if "x-www-form-urlencoded" in (self.headers.get("Content-Type") or ""):
            form = first_values(urllib.parse.parse_qs(body, keep_blank_values=True))
        request = {
            "method": self.command,
            "path": parsed.path,
            "rawQuery": parsed.query,
            "query": first_values(urllib.parse.parse_qs(parsed.query, keep_blank_values=True)),
            "headers": {k.lower(): v for k, v in self.headers.items()},
            "body": body,
            "form": form,
        }
        record(request)
        request["raw_body"] = raw_body
        fixture = load_fixture()
        answer = route_answer(fixture, request)
        if answer is None:
            mode = MODES.get(State.mode)
            answer = mode(fixture, request) if mode else Answer(404, "")
        if answer.delay:
            time.sleep(answer.delay)
        payload = answer.body if isinstance(answer.body, bytes) else answer.body.encode("utf-8")
        self.send_response(answer.status)
        for name, value in answer.headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    # As HTTPS_PROXY: a tunnel's CONNECT (host in its Host header) is recorded and answered as any request.
    do_GET = do_PUT = do_POST = do_DELETE = do_HEAD = do_PATCH = do_CONNECT = handle_any




def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", choices=["metadata", "ipecho", "sso", "awsfront", "generic"], default="generic")
    parser.add_argument("--fixture", required=True)
    parser.add_argument("--requests", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--lifetime", type=float, default=1800)
    options = parser.parse_args()
    State.fixture_path = options.fixture
    State.requests_path = options.requests
    State.mode = options.mode

    server = ThreadingHTTPServer(("127.0.0.1", options.port), Handler)
    server.daemon_threads = True
    if options.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.cert, options.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(f"READY {server.server_address[1]}", flush=True)
    watch(options.lifetime)


if __name__ == "__main__":
    main()
