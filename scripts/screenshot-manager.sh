#!/usr/bin/env bash
# Shows the manager's main window under Xvfb against a scripted control port (a small Python
# stand-in for the service on 127.0.0.1:39219) with Options selected, and saves it as a PNG;
# further pictures show the ruleset editor on a rule of the demo's user, the demo user with its
# POP3 accounts (two example accounts added to the copy of the demo), and the message list of
# the user's "mail" mailbox (a message with encoded header words added to the copy) with a
# message previewed. The status bar at the bottom of each shows the service's state.
# Usage: scripts/screenshot-manager.sh [OUTPUT.png [RULESET.png [USER.png [MESSAGES.png]]]]
#        (default: docs/manager.png, docs/manager-ruleset.png, docs/manager-user.png and
#        docs/manager-messages.png)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
output=$(realpath -m "${1:-docs/manager.png}")
ruleset_output=$(realpath -m "${2:-docs/manager-ruleset.png}")
user_output=$(realpath -m "${3:-docs/manager-user.png}")
messages_output=$(realpath -m "${4:-docs/manager-messages.png}")
for picture in "$output" "$ruleset_output" "$user_output" "$messages_output"; do
  mkdir -p "$(dirname "$picture")"
done

cmake -S . -B build/normal -G Ninja >/dev/null
cmake --build build/normal --target ovrin-manager-screenshot

work=$(mktemp -d)
cleanup() {
  [ -n "${peer:-}" ] && kill "$peer" 2>/dev/null || true
  [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cp -r demo/mail "$work/mail"
# Accounts only in this copy: the demo itself collects from nowhere.
python3 - "$work/mail/demo/user.xml" <<'PY'
import sys
path = sys.argv[1]
text = open(path).read()
accounts = ('<pop3-clients>\n'
            '    <pop3-client hostname="pop.example.org" port="110" username="demo" password="ZGVtbw=="/>\n'
            '    <pop3-client hostname="mail.example.net" port="110" username="demo.user" password="ZGVtbw=="/>\n'
            '  </pop3-clients>')
open(path, "w").write(text.replace("<pop3-clients/>", accounts))
PY
printf '%s\r\n' \
  "From: =?ISO-8859-1?Q?Ren=E9_Dupr=E9?= <rene@example.org>" \
  "To: Demo User <demo@example.org>" \
  "Subject: =?UTF-8?B?Q2Fmw6kgYXUgbGFpdCDimJU=?=" \
  "Date: Wed, 14 Sep 2005 08:15:00 +0200" \
  "" \
  "A header in other words than ASCII." >"$work/mail/demo/mail/1003.msg"
cat >"$work/config.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<config>
  <params>
    <param name="mail-directory" value="$work/mail"/>
    <param name="pop3-address" value="127.0.0.1"/>
    <param name="pop3-port" value="11110"/>
    <param name="worker-threads-per-pool" value="4"/>
    <param name="mail-interval" value="300"/>
    <param name="spool-interval" value="5"/>
  </params>
</config>
XML
printf '%s\r\n' \
  "2005-09-13 13:05:54.120 [00001a2c] INFO Ovrin Mail Filter 1.4 started" \
  "2005-09-13 13:05:54.131 [00001a30] INFO POP3 listener on 127.0.0.1:11110" \
  "2005-09-13 13:06:01.502 [00001a31] INFO Collected 3 messages for user demo" >"$work/ovrin.log"

python3 - "$work/config.xml" >"$work/peer.log" 2>&1 <<'PY' &
import re, socket, sys
values = dict(re.findall(r'name="([^"]+)" value="([^"]*)"', open(sys.argv[1]).read()))
values.update({"product-name": "Ovrin Mail Filter", "version": "1.4, built Sep 13 2005 13:05:54"})
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", 39219))
server.listen(8)
while True:
    connection, _ = server.accept()
    data = b""
    while not data.endswith(b"\r\n"):
        chunk = connection.recv(4096)
        if not chunk:
            break
        data += chunk
    line = data.decode().strip()
    name = line[len("get config "):] if line.startswith("get config ") else None
    locking = line.split(" ")[0] in ("lock", "unlock")
    reply = "ok" if line == "noop" or locking else ("ok " + values[name]) if name in values else "err unknown"
    connection.sendall((reply + "\r\n").encode())
    connection.close()
PY
peer=$!

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done

DISPLAY=$display QT_QPA_PLATFORM=xcb build/normal/ovrin-manager-screenshot "$work" "$output"
echo "screenshot: $output"
DISPLAY=$display QT_QPA_PLATFORM=xcb build/normal/ovrin-manager-screenshot "$work" "$ruleset_output" \
  "Users/demo/Rules/Mailing lists"
echo "screenshot: $ruleset_output"
DISPLAY=$display QT_QPA_PLATFORM=xcb build/normal/ovrin-manager-screenshot "$work" "$user_output" \
  "Users/demo" "Users/demo/Accounts" "Users/demo/Mailboxes"
echo "screenshot: $user_output"
DISPLAY=$display QT_QPA_PLATFORM=xcb build/normal/ovrin-manager-screenshot "$work" "$messages_output" \
  "Users/demo/Mailboxes/mail/3 message(s)"
echo "screenshot: $messages_output"
