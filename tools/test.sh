#!/usr/bin/env bash
# Installs what is missing, builds the normal and the sanitizer trees and runs
# every test in both. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

tools/build.sh normal
(cd build && ctest --output-on-failure -j "$jobs")

tools/build.sh sanitize
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j "$jobs")
