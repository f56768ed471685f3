#!/usr/bin/env python3
"""Logins against a POP3 server over raw sockets, for the tests of the server's login guard.

usage:
  pop3_logins.py guard PORT USER PASSWORD DELAY_MS
      One connection gives three wrong passwords; while it waits for the first answer a second
      connection logs in with the right one, reads STAT and quits. Prints "second served first
      yes|no", "three failures waited ms N" (from the first PASS to the third answer), the three
      answers, and "closed after three yes|no".
  pop3_logins.py relogin PORT USER PASSWORD ROUNDS [DELETE]
      ROUNDS times: log in, with DELETE mark every message deleted (one pipelined burst), QUIT,
      and log in again as soon as QUIT's answer has come. Prints "quit answers ..." (the distinct
      first words) and "refused N" (logins right after a QUIT that were not "+OK").
  pop3_logins.py unanswered PORT USER PASSWORD RESOLVER
      Listens on RESOLVER port 53 (UDP) without ever answering, connects from 127.0.0.2 (a
      name no hosts file gives), logs in and quits. Prints the greeting's and the login's first
      words and "queries N", the look-ups the silent resolver was sent meanwhile.
Every socket has a time-out; nothing waits without limit.
"""
import socket
import sys
import time


class Connection:
    def __init__(self, port, source=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=60,
                                             source_address=(source, 0) if source else None)
        self.file = self.sock.makefile("rb")
        self.greeting = self.line()

    def send(self, *lines):
        self.sock.sendall(b"".join(line.encode("latin-1") + b"\r\n" for line in lines))

    def line(self):
        return self.file.readline().decode("latin-1").rstrip("\r\n")

    def command(self, text):
        self.send(text)
        return self.line()

    def login(self, user, password):
        self.send("USER " + user, "PASS " + password)
        self.line()
        return self.line()

    def close(self):
        self.file.close()
        self.sock.close()


def guard(port, user, password, delay_ms):
    first = Connection(port)
    first.send("USER " + user)
    first.line()
    started = time.monotonic()
    first.send("PASS wrong 1")
    # The second session runs to its end while the first waits for its answer.
    second = Connection(port)
    served = second.login(user, password).startswith("+OK")
    served = served and second.command("STAT").startswith("+OK") and second.command("QUIT").startswith("+OK")
    second.close()
    first.sock.settimeout(0)
    try:
        early = first.sock.recv(1, socket.MSG_PEEK)
    except BlockingIOError:
        early = b""
    first.sock.settimeout(60)
    print("second served first", "yes" if served and not early else "no")
    answers = [first.line()]
    for attempt in (2, 3):
        first.send("USER " + user, "PASS wrong %d" % attempt)
        first.line()
        answers.append(first.line())
    print("three failures waited ms", int((time.monotonic() - started) * 1000))
    for answer in answers:
        print(answer)
    print("closed after three", "yes" if first.file.readline() == b"" else "no")


def relogin(port, user, password, rounds, delete):
    refused = 0
    quits = set()
    session = Connection(port)
    session.login(user, password)
    for _ in range(rounds):
        if delete:
            count = int(session.command("STAT").split()[1])
            session.send(*["DELE %d" % n for n in range(1, count + 1)])
            for _ in range(count):
                session.line()
        quits.add(session.command("QUIT").split(" ")[0])
        session.close()
        session = Connection(port)
        if not session.login(user, password).startswith("+OK"):
            refused += 1
    session.command("QUIT")
    print("quit answers", " ".join(sorted(quits)))
    print("refused", refused)


def unanswered(port, user, password, resolver):
    silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    silent.bind((resolver, 53))
    session = Connection(port, "127.0.0.2")
    print("greeting", session.greeting.split(" ")[0])
    print("login", session.login(user, password).split(" ")[0])
    session.command("QUIT")
    session.close()
    silent.setblocking(False)
    queries = 0
    try:
        while silent.recv(4096):
            queries += 1
    except BlockingIOError:
        pass
    print("queries", queries)


mode, port = sys.argv[1], int(sys.argv[2])
if mode == "guard":
    guard(port, sys.argv[3], sys.argv[4], int(sys.argv[5]))
elif mode == "relogin":
    relogin(port, sys.argv[3], sys.argv[4], int(sys.argv[5]), len(sys.argv) > 6)
elif mode == "unanswered":
    unanswered(port, sys.argv[3], sys.argv[4], sys.argv[5])
else:
    sys.exit("unknown mode " + mode)
