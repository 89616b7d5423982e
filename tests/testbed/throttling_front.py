#!/usr/bin/env python3
"""Runs the AWS emulator behind a front that throttles EC2 as EC2 does and counts every call.

Each EC2 action has its own token bucket (Describe* 100 tokens refilling 20 a second, other
actions 200 refilling 5 a second, unless told otherwise); a call that finds its bucket empty is
answered 503 "RequestLimitExceeded" without reaching the emulator. Calls and throttled answers
are counted per action:

  GET  /tarnwick-front/stats              {"calls": {action: n}, "throttled": {action: n}, "buckets": bool,
                                           "toLose": [actions whose answer is still to be lost]}
  POST /tarnwick-front/reset?buckets=0|1  zeroes the counts, refills the buckets, switches them
  POST /tarnwick-front/lose?action=NAME   the next call of NAME takes effect in the emulator, and
                                          its connection is then closed without an answer, once

RunInstances keeps its ClientToken as EC2 does: a launch that repeats a token gets the answer of
the first launch with it, and launches nothing.

With --latency, --ready-after or --shutting-down-for, instances live on EC2's clock instead of the
emulator's instant one (see Lifecycle); the stats then also hold "lifecycle": {"lastReady",
"lastGone"}, the epoch seconds at which the last launched instance passes its status checks and
the last terminated one is gone.

Prints "READY <port>" once it answers; ends like moto_launcher.py.
"""
import argparse
import io
import json
import socket
import threading
import time
import uuid
from urllib.parse import parse_qs

from lifeline import watch
from moto_launcher import apply_patches

CONTROL = "/tarnwick-front/"


class TokenBucket:
    def __init__(self, capacity, refill_per_second):
        self.capacity = capacity
        self.refill = refill_per_second
        self.tokens = float(capacity)
        self.stamp = time.monotonic()

    def take(self):
        now = time.monotonic()
        self.tokens = min(self.capacity, self.tokens + (now - self.stamp) * self.refill)
        self.stamp = now
        if self.tokens < 1:
            return False
        self.tokens -= 1
        return True


class Lifecycle:
    """Instances as slow as EC2's: every call waits `latency` seconds before it is served, an
    instance reports passed status checks only `ready_after` seconds after its launch, and a
    terminated one stays "shutting-down" for `shutting_down_for` seconds, during which
    DeleteSecurityGroup is refused with DependencyViolation (an interface of it still holds the
    group), and then loses its Elastic IPs' associations."""

    def __init__(self, latency, ready_after, shutting_down_for):
        self.latency = latency
        self.ready_after = ready_after
        self.shutting_down_for = shutting_down_for
        self.lock = threading.Lock()
        self.shutting_down = []  # (time it is gone, instance)
        self.last_ready = self.last_gone = 0.0

    def active(self):
        return bool(self.latency or self.ready_after or self.shutting_down_for)

    def reset(self):
        with self.lock:
            self.last_ready = self.last_gone = 0.0

    def stats(self):
        with self.lock:
            return {"lastReady": self.last_ready, "lastGone": self.last_gone}

    def before_call(self):
        """Every AWS call: the latency, then the instances whose shutdown is over are terminated."""
        if self.latency:
            time.sleep(self.latency)
        now = time.time()
        with self.lock:
            gone = [i for t, i in self.shutting_down if t <= now]
            self.shutting_down = [(t, i) for t, i in self.shutting_down if t > now]
        for instance in gone:
            instance._state.name, instance._state.code = "terminated", 48
            # As in EC2, the Elastic IPs of a terminated instance are disassociated.
            backend = instance.ec2_backend
            for address in list(backend.addresses):
                if address.instance is instance and address.association_id:
                    backend.disassociate_address(association_id=address.association_id)

    def patch(self):
        from moto.ec2.exceptions import DependencyViolationError
        from moto.ec2.models import instances, security_groups

        lifecycle = self
        init, terminate = instances.Instance.__init__, instances.Instance.terminate
        status = instances.Instance.instance_status.fget
        system = instances.Instance.system_status.fget
        delete_group = security_groups.SecurityGroupBackend.delete_security_group

        def launched(instance, *args, **kwargs):
            init(instance, *args, **kwargs)
            instance.ready_at = time.time() + lifecycle.ready_after
            with lifecycle.lock:
                lifecycle.last_ready = max(lifecycle.last_ready, instance.ready_at)

        def checked(real):
            def check(instance):
                if instance.state_code == 16 and time.time() < getattr(instance, "ready_at", 0):
                    return {"Details": [{"Name": "reachability", "Status": "initializing"}], "Status": "initializing"}
                return real(instance)
            return property(check)

        def terminated(instance):
            was_live = instance.state_code not in (32, 48)
            previous = terminate(instance)
            if was_live and lifecycle.shutting_down_for:
                gone = time.time() + lifecycle.shutting_down_for
                instance._state.name, instance._state.code = "shutting-down", 32
                with lifecycle.lock:
                    lifecycle.shutting_down.append((gone, instance))
                    lifecycle.last_gone = max(lifecycle.last_gone, gone)
            return previous

        def delete_security_group(backend, name=None, group_id=None):
            with lifecycle.lock:
                busy = bool(lifecycle.shutting_down)
            if busy:
                raise DependencyViolationError(f"resource {group_id or name} has a dependent object")
            return delete_group(backend, name=name, group_id=group_id)

        instances.Instance.__init__ = launched
        instances.Instance.instance_status = checked(status)
        instances.Instance.system_status = checked(system)
        instances.Instance.terminate = terminated
        security_groups.SecurityGroupBackend.delete_security_group = delete_security_group


class ThrottlingFront:
    """WSGI middleware in front of the emulator's application."""

    def __init__(self, app, describe, mutate, buckets=True):
        self.app = app
        self.describe = describe
        self.mutate = mutate
        self.lock = threading.Lock()
        self.launches = {}  # ClientToken -> (status, headers, body) of the first launch
        self.lifecycle = None
        self.reset(buckets)

    def reset(self, buckets):
        with self.lock:
            self.buckets_on = buckets
            self.buckets = {}
            self.calls = {}
            self.throttled = {}
            self.to_lose = set()
        if self.lifecycle:
            self.lifecycle.reset()

    def stats(self):
        with self.lock:
            stats = {"calls": dict(self.calls), "throttled": dict(self.throttled), "buckets": self.buckets_on,
                     "toLose": sorted(self.to_lose)}
        if self.lifecycle:
            stats["lifecycle"] = self.lifecycle.stats()
        return stats

    def admit(self, service, action):
        """Counts the call; False when EC2's bucket for the action is empty."""
        with self.lock:
            self.calls[action] = self.calls.get(action, 0) + 1
            if service != "ec2" or not self.buckets_on:
                return True
            bucket = self.buckets.get(action)
            if bucket is None:
                size = self.describe if action.startswith("Describe") else self.mutate
                bucket = self.buckets[action] = TokenBucket(*size)
            if bucket.take():
                return True
            self.throttled[action] = self.throttled.get(action, 0) + 1
            return False

    def __call__(self, environ, start_response):
        path = environ.get("PATH_INFO", "")
        if path.startswith(CONTROL):
            return self.control(path[len(CONTROL):], environ, start_response)
        length = int(environ.get("CONTENT_LENGTH") or 0)
        body = environ["wsgi.input"].read(length) if length else b""
        environ["wsgi.input"] = io.BytesIO(body)
        service, action = call_of(environ, body)
        if action and self.lifecycle:
            self.lifecycle.before_call()
        if action and not self.admit(service, action):
            return throttled_answer(start_response)
        token = parse_qs(body.decode("utf-8", "replace")).get("ClientToken", [""])[0] if action == "RunInstances" else ""
        with self.lock:
            remembered = self.launches.get(token) if token else None
            lose = action in self.to_lose
            self.to_lose.discard(action)
        if remembered:
            start_response(remembered[0], remembered[1])
            return [remembered[2]]
        if not lose and not token and action not in IAM_FAULTS:
            return self.app(environ, start_response)
        try:
            status, headers, answer = self.complete(environ)
        except Exception:  # the emulator's internal error
            if action not in IAM_FAULTS:
                raise
            status, headers, answer = IAM_FAULTS[action]
        if token and status.startswith("200"):
            with self.lock:
                self.launches.setdefault(token, (status, headers, answer))
        if lose:
            environ["werkzeug.socket"].shutdown(socket.SHUT_RDWR)
            raise ConnectionAbortedError(f"{action} carried out, its answer dropped")
        start_response(status, headers)
        return [answer]

    def complete(self, environ):
        """The emulator's whole answer: (status, headers, body)."""
        started = []
        chunks = self.app(environ, lambda status, headers, exc_info=None: started.extend([status, headers]))
        body = b"".join(chunks)
        if hasattr(chunks, "close"):
            chunks.close()
        return started[0], started[1], body

    def control(self, what, environ, start_response):
        if what == "lose" and environ.get("REQUEST_METHOD") == "POST":
            with self.lock:
                self.to_lose.add(parse_qs(environ.get("QUERY_STRING", "")).get("action", [""])[0])
        elif what == "reset" and environ.get("REQUEST_METHOD") == "POST":
            query = parse_qs(environ.get("QUERY_STRING", ""))
            self.reset(query.get("buckets", ["1" if self.buckets_on else "0"])[0] == "1")
        elif what != "stats":
            start_response("404 Not Found", [("Content-Type", "text/plain")])
            return [b"unknown control path\n"]
        payload = json.dumps(self.stats()).encode()
        start_response("200 OK", [("Content-Type", "application/json"), ("Content-Length", str(len(payload)))])
        return [payload]


def iam_error(status, code, message):
    payload = (f'<ErrorResponse xmlns="https://iam.amazonaws.com/doc/2010-05-08/"><Error><Type>Sender</Type>'
               f"<Code>{code}</Code><Message>{message}</Message></Error><RequestId>{uuid.uuid4()}</RequestId>"
               "</ErrorResponse>").encode()
    return status, [("Content-Type", "text/xml"), ("Content-Length", str(len(payload)))], payload


# Calls the emulator fails with an internal error where IAM answers with a code.
IAM_FAULTS = {"RemoveRoleFromInstanceProfile": iam_error("404 Not Found", "NoSuchEntity",
                                                         "The role is not in the instance profile.")}


def call_of(environ, body):
    """(service, action) of a signed call: the service from the credential scope, the action
    from the form body (query protocols) or the target header (JSON protocols)."""
    service = ""
    auth = environ.get("HTTP_AUTHORIZATION", "")
    if "Credential=" in auth:
        scope = auth.split("Credential=", 1)[1].split(",", 1)[0].split("/")
        if len(scope) >= 4:
            service = scope[3]
    target = environ.get("HTTP_X_AMZ_TARGET", "")
    if target:
        return service, target.rsplit(".", 1)[-1]
    if body and environ.get("CONTENT_TYPE", "").startswith("application/x-www-form-urlencoded"):
        action = parse_qs(body.decode("utf-8", "replace")).get("Action")
        if action:
            return service, action[0]
    if service == "s3":
        return service, "S3 " + environ.get("REQUEST_METHOD", "")
    return service, ""


def throttled_answer(start_response):
    payload = (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        "<Response><Errors><Error><Code>RequestLimitExceeded</Code>"
        "<Message>Request limit exceeded.</Message></Error></Errors>"
        f"<RequestID>{uuid.uuid4()}</RequestID></Response>"
    ).encode()
    start_response("503 Service Unavailable",
                   [("Content-Type", "text/xml;charset=UTF-8"), ("Content-Length", str(len(payload)))])
    return [payload]


class Denials:
    """Answers the calls of some actions as AWS answers a caller without the permission, DryRun or not:
    POST /tarnwick-front/deny?action=NAME,NAME chooses them, "" none; "RunInstances:scp" refuses launches
    as an organisation policy demanding IMDSv2 and tags at creation does. Refusals carry an encoded message."""

    def __init__(self, app):
        self.app = app
        self.actions = set()

    def __call__(self, environ, start_response):
        if environ.get("PATH_INFO") == CONTROL + "deny" and environ.get("REQUEST_METHOD") == "POST":
            self.actions = set(parse_qs(environ.get("QUERY_STRING", "")).get("action", [""])[0].split(",")) - {""}
            start_response("200 OK", [("Content-Type", "text/plain"), ("Content-Length", "0")])
            return [b""]
        length = int(environ.get("CONTENT_LENGTH") or 0)
        body = environ["wsgi.input"].read(length) if length else b""
        environ["wsgi.input"] = io.BytesIO(body)
        service, action = call_of(environ, body)
        form = {k: v[0] for k, v in parse_qs(body.decode("utf-8", "replace")).items()}
        tokens, kinds = form.get("MetadataOptions.HttpTokens", "optional"), {v for k, v in form.items() if k.endswith(".ResourceType")}
        failed = [("ec2:MetadataHttpTokens", "required")] * (tokens != "required") + \
            [("aws:RequestTag/Name", "true")] * (not {"volume", "network-interface"} <= kinds)
        scp = action + ":scp" in self.actions and bool(failed)
        if service == "sts" and action in self.actions:
            status, headers, payload = iam_error("403 Forbidden", "AccessDenied", f"not authorized to perform sts:{action}")
        elif action == "DecodeAuthorizationMessage":
            status, headers, payload = "200 OK", [("Content-Type", "text/xml")], ("<DecodeAuthorizationMessageResponse><Decode"
                f"AuthorizationMessageResult><DecodedMessage>{bytes.fromhex(form['EncodedMessage']).decode()}</DecodedMessage>"
                "</DecodeAuthorizationMessageResult></DecodeAuthorizationMessageResponse>").encode()
        elif action in self.actions or scp:
            items = lambda *values: {"items": [{"value": v} for v in values]}  # noqa: E731
            decoded = {"allowed": False, "explicitDeny": scp, "matchedStatements": {"items": [{"statementId": "RequireImdsV2",
                       "effect": "DENY", "conditions": {"items": [{"key": k, "values": items(v)} for k, v in failed]}}] * scp},
                       "context": {"resource": "arn:aws:ec2:us-east-1:123456789012:instance/*", "conditions": {"items": [
                           {"key": "ec2:MetadataHttpTokens", "values": items(tokens)}]}}}
            where = "with an explicit deny in a service control policy" if scp else "because no identity-based policy allows it"
            status, headers, payload = "403 Forbidden", [("Content-Type", "text/xml;charset=UTF-8")], (
                '<?xml version="1.0" encoding="UTF-8"?>\n<Response><Errors><Error><Code>UnauthorizedOperation</Code>'
                "<Message>You are not authorized to perform this operation. User: arn:aws:iam::123456789012:user/moto "
                f"is not authorized to perform: ec2:{action} {where}. Encoded authorization failure message: "
                f"{json.dumps(decoded).encode().hex()}</Message></Error></Errors>"
                f"<RequestID>{uuid.uuid4()}</RequestID></Response>").encode()
        else:
            return self.app(environ, start_response)
        start_response(status, [headers[0], ("Content-Length", str(len(payload)))])
        return [payload]


def bucket_size(text):
    capacity, refill = text.split(",")
    return int(capacity), float(refill)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--lifetime", type=float, default=1800)
    parser.add_argument("--describe", type=bucket_size, default=(100, 20.0), help="capacity,refill per second")
    parser.add_argument("--mutate", type=bucket_size, default=(200, 5.0), help="capacity,refill per second")
    parser.add_argument("--no-buckets", action="store_true", help="count only")
    parser.add_argument("--latency", type=float, default=0.0, help="seconds every call waits before it is served")
    parser.add_argument("--ready-after", type=float, default=0.0, help="seconds from launch to passed status checks")
    parser.add_argument("--shutting-down-for", type=float, default=0.0, help="seconds from termination to terminated")
    options = parser.parse_args()

    apply_patches()
    from moto.moto_server.werkzeug_app import DomainDispatcherApplication, create_backend_app
    from werkzeug.serving import make_server

    front = ThrottlingFront(DomainDispatcherApplication(create_backend_app), options.describe, options.mutate,
                            buckets=not options.no_buckets)
    lifecycle = Lifecycle(options.latency, options.ready_after, options.shutting_down_for)
    if lifecycle.active():
        lifecycle.patch()
        front.lifecycle = lifecycle
    app = Denials(front)
    server = make_server("127.0.0.1", options.port, app, threaded=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(f"READY {server.server_address[1]}", flush=True)
    watch(options.lifetime)


if __name__ == "__main__":
    main()
