#!/usr/bin/env bash
# Builds Ovrin, installs it with the demo into build/demo and runs ovrin-service there in the
# foreground, as systemd would run it. Ctrl-C (or SIGTERM) stops it in order: "stop" to the
# server, wait for its exit, then the service's own threads. The server's log is in
# build/demo/ovrin.log; the service's own lines go to this terminal.
#
# The server changes its mail store as it works (the sample messages in the spool are filed
# within seconds of the start, rulesets are written back), so the demo runs on the installed
# copy in build/demo, never on the tracked files. The copy is kept between runs like a real
# mail store (an install never overwrites config.xml or mail/); --fresh starts from demo/ again.
set -euo pipefail
cd "$(dirname "$0")/.."

fresh=0
for argument in "$@"; do
  case "$argument" in
    --fresh) fresh=1 ;;
    *) echo "usage: scripts/run-demo.sh [--fresh]" >&2; exit 2 ;;
  esac
done

scripts/setup.sh
cmake -S . -B build/normal -G Ninja >/dev/null
cmake --build build/normal --target ovrin ovrin-service
if cmake --build build/normal --target help | grep -q '^ovrin-manager:'; then
  cmake --build build/normal --target ovrin-manager
fi

run=build/demo
if [ "$fresh" -eq 1 ] && [ -d "$run" ]; then
  rm -rf "$run"
fi
[ -d "$run/mail" ] || echo "run-demo: fresh copy of the demo in $run" >&2
cmake --install build/normal --prefix "$PWD/$run" >/dev/null

echo "run-demo: ovrin-service in $run; control port 127.0.0.1:39219 (try: printf 'noop\\r\\n' | nc 127.0.0.1 39219); Ctrl-C stops it" >&2
exec "$run/ovrin-service"
