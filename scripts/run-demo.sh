#!/usr/bin/env bash
# Builds ovrin and runs it in the foreground on the bundled demo (demo/). Type control commands
# ("noop", "get config version", "stop") on standard input; the log goes to standard error.
#
# The server changes its mail store as it works (messages move between directories, rulesets
# are written back), so it runs on a copy in build/demo, never on the tracked files. The copy is
# kept between runs like a real mail store; --fresh replaces it with a new copy of demo/.
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
cmake --build build/normal --target ovrin

run=build/demo
if [ "$fresh" -eq 1 ] || [ ! -d "$run" ]; then
  rm -rf "$run"
  cp -a demo "$run"
  echo "run-demo: fresh copy of demo/ in $run" >&2
fi

echo "run-demo: ovrin on $run/config.xml; type noop, get config version, stop" >&2
cd "$run"
exec ../normal/ovrin config.xml
