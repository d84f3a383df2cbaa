#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo against the virtual token.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
tools/build.sh normal
exec build/rx7100_demo
