"""A front before the emulator: checks each signature from the bytes that arrived, as AWS does, and
answers as S3 does for a bucket elsewhere. Fixture: "upstream", "buckets" ({name: region}),
"wrongRegion" ("redirect", "malformed", "bare": a 301 naming no region), "secrets" ({key: secret}),
"newBuckets" ([names]: the first request for each is sent on by a 307 to "redirectTo")."""
import hashlib
import hmac
import http.client
import re
from urllib.parse import quote, unquote, urlsplit

AUTH = re.compile(r"AWS4-HMAC-SHA256 Credential=([^/]+)/(\d{8})/([^/]+)/([^/]+)/aws4_request, "
                  r"SignedHeaders=([^,]+), Signature=([0-9a-f]{64})$")
REDIRECTED = set()  # new buckets whose first request was sent on
ASSUMED = {}  # secrets of the temporary keys that passed by in AssumeRole answers


def canonical_request(req, signed_headers, s3):
    # AWS decodes what arrived and encodes it again; only S3 paths are taken as they are.
    path = quote(unquote(req["path"]) if s3 else req["path"], "/-_.~")
    pairs = sorted((quote(unquote(k), "-_.~"), quote(unquote(v), "-_.~"))
                   for k, _, v in (p.partition("=") for p in req["rawQuery"].split("&") if p))
    headers = "".join(f"{h}:{' '.join(req['headers'].get(h, '').split())}\n" for h in signed_headers)
    return "\n".join([req["method"], path, "&".join(f"{k}={v}" for k, v in pairs), headers,
                      ";".join(signed_headers), hashlib.sha256(req["raw_body"]).hexdigest()])


def signature_matches(fixture, req, key_id, day, region, service, signed, signature):
    canonical = canonical_request(req, signed.split(";"), service == "s3")
    to_sign = "\n".join(["AWS4-HMAC-SHA256", req["headers"].get("x-amz-date", ""),
                         f"{day}/{region}/{service}/aws4_request", hashlib.sha256(canonical.encode()).hexdigest()])
    key = ("AWS4" + (ASSUMED.get(key_id) or fixture.get("secrets", {}).get(key_id, "testing"))).encode()
    for part in (day, region, service, "aws4_request"):
        key = hmac.new(key, part.encode(), hashlib.sha256).digest()
    return hmac.new(key, to_sign.encode(), hashlib.sha256).hexdigest() == signature


def wrong_region(fixture, method, region):
    if method == "HEAD":
        return 400, "", {"x-amz-bucket-region": region}
    if fixture.get("wrongRegion") == "malformed":
        return 400, f"<Error><Code>AuthorizationHeaderMalformed</Code><Region>{region}</Region></Error>", {}
    named = {} if fixture.get("wrongRegion") == "bare" else {"x-amz-bucket-region": region}
    return 301, "<Error><Code>PermanentRedirect</Code></Error>", named


def forward(fixture, req):
    upstream = urlsplit(fixture["upstream"])
    connection = http.client.HTTPConnection(upstream.hostname, upstream.port, timeout=60)
    connection.request(req["method"], req["path"] + ("?" + req["rawQuery"] if req["rawQuery"] else ""),
                       body=req["raw_body"], headers=req["headers"])
    answer = connection.getresponse()
    body = answer.read()
    for key_id, secret in re.findall(rb"<AccessKeyId>(.+?)</AccessKeyId>\s*<SecretAccessKey>(.+?)</", body):
        ASSUMED[key_id.decode()] = secret.decode()
    return answer.status, body, {k: v for k, v in answer.getheaders()
                                 if k.lower() not in ("content-length", "transfer-encoding", "connection", "date", "server")}


def front_answer(fixture, req):  # (status, body, headers)
    auth = AUTH.match(req["headers"].get("authorization", ""))
    if not auth or not signature_matches(fixture, req, *auth.groups()):
        return 403, "<Error><Code>SignatureDoesNotMatch</Code></Error>", {}
    region, service = auth.group(3, 4)
    bucket = unquote(req["path"].split("/")[1])
    if service == "s3" and bucket in fixture.get("newBuckets", []) and bucket not in REDIRECTED:
        REDIRECTED.add(bucket)
        return 307, "<Error><Code>TemporaryRedirect</Code></Error>", {"Location": fixture["redirectTo"] + req["path"]}
    home = fixture.get("buckets", {}).get(bucket) if service == "s3" else None
    return wrong_region(fixture, req["method"], home) if home and home != region else forward(fixture, req)
