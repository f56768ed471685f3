#!/usr/bin/env python3
"""A small OAuth 2.0 token service for tests, over HTTPS on loopback: refresh grants (with
rotation and expiry), the device authorization grant, and token introspection as Dovecot's
oauth2 password database asks for it. Its state lives in a JSON file that the test writes and
reads between requests; every request loads it and saves it again.

usage: token_service.py PORT CERT KEY STATE
"""
import http.server
import json
import os
import secrets
import ssl
import sys
import time
import urllib.parse

port, cert, key, state_path = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]


def load():
    with open(state_path) as f:
        state = json.load(f)
    for name, default in (("refresh", {}), ("access", {}), ("device", {}), ("log", []),
                          ("lifetime", 3600), ("length", 40), ("rotate", False), ("client_id", "ovrin-test"),
                          ("client_secret", ""), ("device_user", ""), ("approve_after", 1)):
        state.setdefault(name, default)
    return state


def save(state):
    with open(state_path + ".new", "w") as f:
        json.dump(state, f)
    os.replace(state_path + ".new", state_path)


def issue(state, user):
    access = secrets.token_hex(state["length"])[:state["length"]]
    state["access"][access] = {"user": user, "expires": time.time() + state["lifetime"]}
    return {"access_token": access, "token_type": "Bearer", "expires_in": state["lifetime"]}


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def answer(self, status, body):
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        form = {k: v[0] for k, v in urllib.parse.parse_qs(self.rfile.read(length).decode()).items()}
        state = load()
        status, body = self.handle_form(state, form)
        save(state)
        self.answer(status, body)

    def handle_form(self, state, form):
        if self.path == "/introspect":
            entry = state["access"].get(form.get("token", ""))
            active = entry is not None and entry["expires"] > time.time() and not state.get("revoked", False)
            state["log"].append("introspect " + ("active" if active else "inactive"))
            return 200, ({"active": True, "username": entry["user"]} if active else {"active": False})
        if form.get("client_id") != state["client_id"] or form.get("client_secret", "") != state["client_secret"]:
            return 401, {"error": "invalid_client"}
        if self.path == "/device":
            code = secrets.token_hex(16)
            state["device"][code] = {"user": state["device_user"], "polls": 0, "scope": form.get("scope", "")}
            state["log"].append("device " + form.get("scope", ""))
            return 200, {"device_code": code, "user_code": "WDJB-MJHT", "interval": 1, "expires_in": 600,
                         "verification_uri": "https://127.0.0.1:%d/activate" % port}
        if self.path != "/token":
            return 404, {"error": "not_found"}
        grant = form.get("grant_type")
        if grant == "refresh_token":
            old = form.get("refresh_token", "")
            entry = state["refresh"].get(old)
            if entry is None:
                state["log"].append("refresh refused")
                return 400, {"error": "invalid_grant"}
            state["log"].append("refresh " + old)
            body = issue(state, entry["user"])
            if state["rotate"]:
                new = "rt-" + secrets.token_hex(12)
                del state["refresh"][old]
                state["refresh"][new] = entry
                body["refresh_token"] = new
            return 200, body
        if grant == "urn:ietf:params:oauth:grant-type:device_code":
            entry = state["device"].get(form.get("device_code", ""))
            if entry is None:
                return 400, {"error": "invalid_grant"}
            entry["polls"] += 1
            if entry["polls"] <= state["approve_after"]:
                state["log"].append("device pending")
                return 400, {"error": "authorization_pending"}
            del state["device"][form["device_code"]]
            new = "rt-" + secrets.token_hex(12)
            state["refresh"][new] = {"user": entry["user"]}
            state["log"].append("device granted")
            body = issue(state, entry["user"])
            body["refresh_token"] = new
            return 200, body
        return 400, {"error": "unsupported_grant_type"}


server = http.server.HTTPServer(("127.0.0.1", port), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
