#!/usr/bin/env bash
# Fails when a source file includes a header of a layer above its own. The layers, lowest
# first; a file may include its own layer and those before it. The service sits on the common
# library only (without the XML layer), the manager on the common library and the store; tests,
# benchmarks and fuzz targets may include anything.
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(common store server/core server/message server/rules server/pop3 server/program)

rank() {  # prints the rank of a path's layer, or nothing
  local i
  for i in "${!layers[@]}"; do
    case "$1" in "${layers[$i]}"/*) echo "$i"; return ;; esac
  done
}

status=0
report() { echo "layering: $1"; status=1; }

while IFS= read -r file; do
  while IFS= read -r included; do
    case "$file" in
      service/*)
        case "$included" in
          common/xml*) report "$file includes $included: the service goes without the XML layer" ;;
          common/*|service/*) ;;
          *) report "$file includes $included: the service uses the common library only" ;;
        esac ;;
      manager/*)
        case "$included" in
          common/*|store/*|manager/*) ;;
          *) report "$file includes $included: the manager uses the common library and the store only" ;;
        esac ;;
      *)
        own=$(rank "$file"); theirs=$(rank "$included")
        if [ -z "$theirs" ]; then
          report "$file includes $included, which belongs to no layer of the server"
        elif [ "$theirs" -gt "$own" ]; then
          report "$file includes $included from ${layers[$theirs]}, above ${layers[$own]}"
        fi ;;
    esac
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files -co --exclude-standard -- common store server service manager | grep -E '\.(h|cpp)$')

[ "$status" -eq 0 ] && echo "layering: every include points down"
exit "$status"
