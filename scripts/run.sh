#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the program and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target ostrel
mkdir -p out
./build/shell/ostrel --system-info
