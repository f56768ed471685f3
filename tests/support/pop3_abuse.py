#!/usr/bin/env python3
"""Abuses a POP3 server while a well-behaved poplib client keeps working.

usage: pop3_abuse.py PORT USER PASSWORD. Opens 200 silent connections, sends 1,000 malformed or
oversized command lines on one connection, 10 MB without a line end on another, and meanwhile
logs in and runs STAT and NOOP. Prints "answers N" (the good client's replies), "malformed N"
(replies to the bad lines), "flood cut" when the flooding connection was closed by the server,
and "silent dropped N" once the server has closed the silent connections.
"""
import poplib
import socket
import sys
import threading
import time

port, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3]
results = {}

silent = [socket.create_connection(("127.0.0.1", port), timeout=60) for _ in range(200)]


def flood():
    s = socket.create_connection(("127.0.0.1", port), timeout=60)
    s.recv(1024)
    block = b"x" * 65536
    try:
        for _ in range(160):  # 10 MiB
            s.sendall(block)
        s.settimeout(30)
        results["flood"] = "cut" if s.recv(1024) == b"" else "answered"
    except OSError:
        results["flood"] = "cut"


def malformed():
    s = socket.create_connection(("127.0.0.1", port), timeout=60)
    f = s.makefile("rb")
    f.readline()
    lines = [b"RETR 01x", b"USER bob/a/b", b"PASS", b"\x01\x02\x03", b"TOP 1 2 3", b"Z" * 5000, b"LIST " + b"9" * 3000]
    answered = 0
    for i in range(1000):
        s.sendall(lines[i % len(lines)] + b"\r\n")
        if f.readline().startswith(b"-ERR"):
            answered += 1
    results["malformed"] = answered


threads = [threading.Thread(target=flood), threading.Thread(target=malformed)]
for t in threads:
    t.start()
good = poplib.POP3("127.0.0.1", port, timeout=30)
good.user(user)
good.pass_(password)
answers = 0
while any(t.is_alive() for t in threads) or answers < 50:
    good.stat()
    good.noop()
    answers += 2
for t in threads:
    t.join()
print("answers %d" % answers)
print("malformed %d" % results.get("malformed", 0))
print("flood %s" % results.get("flood"))
good.quit()

dropped = 0
deadline = time.time() + 60
for s in silent:
    s.settimeout(max(1, deadline - time.time()))
    try:
        s.recv(1024)  # the greeting
        if s.recv(1024) == b"":
            dropped += 1
    except OSError:
        pass
print("silent dropped %d" % dropped)
sys.stdout.flush()
