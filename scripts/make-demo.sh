#!/usr/bin/env bash
# Rebuilds the message files of demo/ (Squish bases, *.MSG netmail, last-read marks) with
# scripts/make-demo.cpp, which writes them through the server's own record encoders.
# demo/quorva.INI and demo/squish.cfg are kept by hand.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build --target make-demo -j"$(nproc)"
rm -rf demo/echo demo/netmail
build/make-demo demo
