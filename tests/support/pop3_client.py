#!/usr/bin/env python3
"""A scripted POP3 client on Python's poplib, for the tests of the server.

usage: pop3_client.py PORT[:TLSPORT] STEP...   Each step is "[@N ]COMMAND [ARGUMENTS]" on
connection N (default 1, opened on first use; "@sN" opens it with TLS on TLSPORT): user, pass,
stat, list [n], uidl [n], top n lines, retr n, dele n, rset, last, noop, capa, stls, quit,
wire LINE (the multi-line reply's bytes), raw LINE (any line, answered with one reply line),
long LINE (any line, answered with a multi-line reply),
drop (close without QUIT), hold PATH (keeps the sessions as they are until PATH exists, at
most 60 s). Prints one "> step" line per step, then the reply; multi-line replies line by
line. poplib's errors print as "ERR <reply>". TLS trusts the CA certificate in the
environment variable OVRIN_TEST_CA and checks the address 127.0.0.1.
"""
import os
import poplib
import ssl
import sys
import time

port, _, tls_port = sys.argv[1].partition(":")
connections = {}


def tls_context():
    return ssl.create_default_context(cafile=os.environ["OVRIN_TEST_CA"])


def connection(number):
    if number not in connections:
        if number.startswith("s"):
            connections[number] = poplib.POP3_SSL("127.0.0.1", int(tls_port), timeout=20, context=tls_context())
        else:
            connections[number] = poplib.POP3("127.0.0.1", int(port), timeout=20)
        print("greeting " + connections[number].getwelcome().decode("latin-1"))
    return connections[number]


def show(reply):
    if isinstance(reply, tuple):
        if isinstance(reply[0], bytes) and isinstance(reply[1], list):
            print(reply[0].decode("latin-1"))
            for line in reply[1]:
                print("| " + line.decode("latin-1"))
        else:
            print(" ".join(str(part) for part in reply))
    else:
        print(reply.decode("latin-1") if isinstance(reply, bytes) else str(reply))


for step in sys.argv[2:]:
    number = "1"
    shown = step
    if step.startswith("@"):
        head, step = step.split(" ", 1)
        number = head[1:]
    client = connection(number)
    print("> " + shown)
    command, _, rest = step.partition(" ")
    args = rest.split()
    try:
        if command == "user":
            show(client.user(rest))
        elif command == "pass":
            show(client.pass_(rest))
        elif command == "stat":
            show(client.stat())
        elif command == "list":
            show(client.list(*args))
        elif command == "uidl":
            show(client.uidl(*args))
        elif command == "capa":
            show(client._longcmd("CAPA"))
        elif command == "long":
            show(client._longcmd(rest))
        elif command == "stls":
            show(client.stls(tls_context()))
        elif command == "top":
            show(client.top(args[0], args[1]))
        elif command == "retr":
            show(client.retr(args[0]))
        elif command == "dele":
            show(client.dele(args[0]))
        elif command == "rset":
            show(client.rset())
        elif command == "last":
            show(client._shortcmd("LAST"))
        elif command == "noop":
            show(client.noop())
        elif command == "quit":
            show(client.quit())
            del connections[number]
        elif command == "raw":
            show(client._shortcmd(rest))
        elif command == "wire":
            # the multi-line reply exactly as sent, stuffing and line ends included
            client._putcmd(rest)
            data = b""
            while not (data.endswith(b"\r\n.\r\n") or data.startswith(b"-ERR") and data.endswith(b"\n")):
                line = client.file.readline()
                if not line:
                    break
                data += line
            print(repr(data))
        elif command == "hold":
            print("holding", flush=True)
            deadline = time.monotonic() + 60
            while not os.path.exists(rest) and time.monotonic() < deadline:
                time.sleep(0.02)
            print("released" if os.path.exists(rest) else "not released")
        elif command == "drop":
            client.sock.close()
            del connections[number]
            print("dropped")
        else:
            sys.exit("unknown step " + command)
    except poplib.error_proto as error:
        print("ERR " + error.args[0].decode("latin-1"))
sys.stdout.flush()
