"""A front before the emulator that checks requests as AWS does: each signature is computed again
from the bytes that arrived, and a bucket of another region answers as S3 answers for it.

Fixture: "upstream" (the emulator's URL), "buckets" ({name: region}), "wrongRegion" (how a request
signed for another region is refused: "redirect", "malformed", or "bare", a 301 that names no
region, so only a HeadBucket tells it) and "secrets" ({access key: secret}, default "testing").
"""
import datetime
import hashlib
import hmac
import http.client
import re
import urllib.parse

AUTH = re.compile(r"AWS4-HMAC-SHA256 Credential=([^/]+)/(\d{8})/([^/]+)/([^/]+)/aws4_request, "
                  r"SignedHeaders=([^,]+), Signature=([0-9a-f]{64})$")
HOP_HEADERS = {"content-length", "transfer-encoding", "connection", "date", "server"}
# Secrets of the temporary keys that the emulator's AssumeRole answers handed out on the way.
ASSUMED = {}


def quote(text, safe="-_.~"):
    return urllib.parse.quote(text, safe=safe)


def canonical_request(req, signed_headers, s3):
    # AWS decodes what arrived and encodes it again its own way; S3 paths are not normalised.
    path = quote(urllib.parse.unquote(req["path"]), "/-_.~") if s3 else quote(req["path"], "/-_.~")
    pairs = (p.partition("=") for p in req["rawQuery"].split("&") if p)
    query = "&".join(f"{k}={v}" for k, v in sorted((quote(urllib.parse.unquote(k)), quote(urllib.parse.unquote(v)))
                                                   for k, _, v in pairs))
    headers = "".join(f"{h}:{' '.join(req['headers'].get(h, '').split())}\n" for h in signed_headers)
    body_hash = hashlib.sha256(req["raw_body"]).hexdigest()
    return "\n".join([req["method"], path, query, headers, ";".join(signed_headers), body_hash])


def signature_problem(fixture, req):
    """None when the request is signed as AWS checks it, else (code, message)."""
    match = AUTH.match(req["headers"].get("authorization", ""))
    if not match:
        return "AccessDenied", "no SigV4 Authorization header"
    key_id, day, region, service, signed, signature = match.groups()
    stamp = req["headers"].get("x-amz-date", "")
    when = datetime.datetime.strptime(stamp, "%Y%m%dT%H%M%SZ").replace(tzinfo=datetime.timezone.utc)
    if abs(datetime.datetime.now(datetime.timezone.utc) - when) > datetime.timedelta(minutes=15):
        return "RequestTimeTooSkewed", "The difference between the request time and the current time is too large."
    s3 = service == "s3"
    if s3 and req["headers"].get("x-amz-content-sha256") != hashlib.sha256(req["raw_body"]).hexdigest():
        return "XAmzContentSHA256Mismatch", "x-amz-content-sha256 is not the hash of the body sent"
    canonical = canonical_request(req, signed.split(";"), s3)
    to_sign = "\n".join(["AWS4-HMAC-SHA256", stamp, f"{day}/{region}/{service}/aws4_request",
                         hashlib.sha256(canonical.encode()).hexdigest()])
    secret = ASSUMED.get(key_id) or fixture.get("secrets", {}).get(key_id, "testing")
    key = ("AWS4" + secret).encode()
    for part in (day, region, service, "aws4_request"):
        key = hmac.new(key, part.encode(), hashlib.sha256).digest()
    if hmac.new(key, to_sign.encode(), hashlib.sha256).hexdigest() != signature:
        return "SignatureDoesNotMatch", "The request signature we calculated does not match. Canonical: " + canonical
    return None


def error(status, code, message, extra="", headers=None):
    return (status, f"<Error><Code>{code}</Code><Message>{message}</Message>{extra}</Error>",
            dict(headers or {}, **{"Content-Type": "application/xml"}))


def wrong_region_answer(fixture, req, bucket, region):
    if req["method"] == "HEAD":
        return 400, "", {"x-amz-bucket-region": region}
    mode = fixture.get("wrongRegion", "redirect")
    if mode == "malformed":
        return error(400, "AuthorizationHeaderMalformed", "The authorization header is malformed.",
                     f"<Region>{region}</Region>")
    header = {"x-amz-bucket-region": region} if mode == "redirect" else {}
    return error(301, "PermanentRedirect", "The bucket must be addressed using the specified endpoint.",
                 f"<Bucket>{bucket}</Bucket>", header)


def forward(fixture, req):
    upstream = urllib.parse.urlsplit(fixture["upstream"])
    connection = http.client.HTTPConnection(upstream.hostname, upstream.port, timeout=60)
    target = req["path"] + ("?" + req["rawQuery"] if req["rawQuery"] else "")
    connection.request(req["method"], target, body=req["raw_body"], headers=req["headers"])
    response = connection.getresponse()
    body = response.read()
    for key_id, secret in re.findall(rb"<AccessKeyId>(.+?)</AccessKeyId>\s*<SecretAccessKey>(.+?)</", body):
        ASSUMED[key_id.decode()] = secret.decode()
    headers = {k: v for k, v in response.getheaders() if k.lower() not in HOP_HEADERS}
    connection.close()
    return response.status, body, headers


def front_answer(fixture, req):
    """(status, body, headers) for one request."""
    problem = signature_problem(fixture, req)
    if problem:
        return error(403, *problem)
    region, service = AUTH.match(req["headers"]["authorization"]).group(3, 4)
    bucket = urllib.parse.unquote(req["path"].split("/")[1]) if service == "s3" else ""
    home = fixture.get("buckets", {}).get(bucket)
    if home and home != region:
        return wrong_region_answer(fixture, req, bucket, home)
    return forward(fixture, req)
