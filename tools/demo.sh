#!/usr/bin/env bash
# Installs what is missing, builds, starts the virtual token service in a
# temporary directory, plugs one token of each transport (HID reports, HID
# control channel, SCSI generic) and runs the demo program against them
# through the library. The service is stopped on exit, whatever happens.
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
echo "plugged (hid):    $("$vtoken" plug --dir "$dir/svc" --transport hid --serial DEMO-HID)"
echo "plugged (hidctr): $("$vtoken" plug --dir "$dir/svc" --transport hidctr --serial DEMO-HIDCTR)"
echo "plugged (scsi):   $("$vtoken" plug --dir "$dir/svc" --transport scsi --serial DEMO-SCSI)"
"$vtoken" list --dir "$dir/svc"

RX7100_VTOKEN="$dir/svc" build/rx7100_demo

# Each transport carries its traffic on its own channel: interrupt reports,
# class control requests, SG_IO commands.
for serial in DEMO-HID DEMO-HIDCTR DEMO-SCSI; do
  echo "service counters of $serial:"
  "$vtoken" stats --dir "$dir/svc" "$serial" | sed 's/^/  /'
done
