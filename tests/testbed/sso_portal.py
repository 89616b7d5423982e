"""The SSO portal behind fake_server.py's "sso" mode: GetRoleCredentials for the fixture's "token",
"account" and "role", and the token service's CreateToken (POST /token) for the fixture's
"refreshToken", which answers the fixture's "token"; any other request gets a 401."""
import json
import time


def sso_answer(fixture, request):
    """(JSON body, status, headers) for one recorded request."""
    if request["path"] == "/token":
        sent = json.loads(request["body"] or "{}")
        if sent.get("grantType") != "refresh_token" or sent.get("refreshToken") != fixture.get("refreshToken"):
            return {"error": "invalid_grant"}, 400, {}
        return {"accessToken": fixture.get("token"), "expiresIn": 3600, "refreshToken": "rotated"}, 200, {}
    wanted = {"role_name": fixture.get("role"), "account_id": fixture.get("account")}
    token = request["headers"].get("x-amz-sso_bearer_token")
    if request["path"] != "/federation/credentials" or request["query"] != wanted or token != fixture.get("token"):
        return {"message": "Session token not found or invalid"}, 401, {"x-amzn-ErrorType": "UnauthorizedException"}
    expiration_ms = int((time.time() + 3600) * 1000)
    return {"roleCredentials": {"accessKeyId": "SSOKEY", "secretAccessKey": "SSOSECRET",
                                "sessionToken": "SSOTOKEN", "expiration": expiration_ms}}, 200, {}
