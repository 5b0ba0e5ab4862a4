#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything, runs the fuzz smoke run and the
# whole test suite. Tests start the real peers they need (Xvfb, PulseAudio, avahi, chrony).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
if [ "${OSTREL_SKIP_FUZZ:-0}" != 1 ]; then
  bash fuzz/smoke.sh
fi
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 900
