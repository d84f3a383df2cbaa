#!/usr/bin/env bash
# Configures and builds one tree. Usage: tools/build.sh [normal|sanitize]
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-normal}
jobs=$(nproc 2>/dev/null || echo 2)
case "$kind" in
  normal)   dir=build;      extra=() ;;
  sanitize) dir=build-asan; extra=(-DRX_SANITIZE=ON -DRX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug) ;;
  *) echo "usage: $0 [normal|sanitize]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
