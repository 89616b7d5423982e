#!/usr/bin/env python3
"""Signs test requests with an independent implementation, for byte-for-byte comparison.

Reads a JSON list of requests from the file named by argv[1] and prints, per request, the
canonical request and the Authorization header computed for a fixed time."""
import datetime
import json
import sys

import botocore.auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials

WHEN = datetime.datetime(2024, 5, 1, 12, 30, 45, tzinfo=datetime.timezone.utc)
botocore.auth.get_current_datetime = lambda *args, **kwargs: WHEN


def sign(case):
    creds = Credentials(case["access_key"], case["secret_key"], case.get("token") or None)
    signer_type = botocore.auth.S3SigV4Auth if case["s3"] else botocore.auth.SigV4Auth
    signer = signer_type(creds, case["service"], case["region"])
    request = AWSRequest(method=case["method"], url=case["url"], data=bytes.fromhex(case["body_hex"]))
    for name, value in case["headers"]:
        request.headers[name] = value
    signer.add_auth(request)
    authorization = request.headers["Authorization"]
    del request.headers["Authorization"]
    return {"canonical": signer.canonical_request(request), "authorization": authorization}


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        cases = json.load(f)
    json.dump([sign(c) for c in cases], sys.stdout)


if __name__ == "__main__":
    main()
