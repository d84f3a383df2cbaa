#!/usr/bin/env bash
# Installs what is missing, builds, starts the virtual token service in a
# temporary directory, plugs two tokens and runs the demo program against
# them through the library. The service is stopped on exit, whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh normal

vtoken=build/rx7100-vtoken
dir=$(mktemp -d /tmp/rx7100-demo-XXXXXX)
cleanup() {
  "$vtoken" stop --dir "$dir/svc" >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT

"$vtoken" serve --dir "$dir/svc" --background
echo "plugged: $("$vtoken" plug --dir "$dir/svc")"
echo "plugged: $("$vtoken" plug --dir "$dir/svc" --serial DEMO-0002)"
"$vtoken" list --dir "$dir/svc"

RX7100_VTOKEN="$dir/svc" build/rx7100_demo

echo "service counters of DEMO-0002:"
"$vtoken" stats --dir "$dir/svc" DEMO-0002
