#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything, runs the fuzz smoke run, short
# stress runs under the sanitizers and the whole test suite. Tests start the real peers they need (Xvfb, PulseAudio, avahi, chrony).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
if [ "${OSTREL_SKIP_FUZZ:-0}" != 1 ]; then
  bash fuzz/smoke.sh
fi
# The stress run, short and with a fixed seed, under ThreadSanitizer and under
# AddressSanitizer: each tree builds only what the run needs. A failure here is reported
# at the end, after the whole suite has run.
stress_status=0
if [ "${OSTREL_SKIP_SANITIZE:-0}" != 1 ]; then
  for kind in tsan:thread asan:address; do
    tree=build-${kind%%:*}
    cmake -G Ninja -S . -B "$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DOSTREL_SANITIZE="${kind#*:}" -DOSTREL_BUILD_BENCH=OFF
    cmake --build "$tree" -j"$(nproc)" --target ostrel-stress
    timeout 900 "$tree/tests/stress/ostrel-stress" --seed 1 --sequences 3 --steps 15 ||
      { echo "stress run under ${kind#*:} sanitizer failed" >&2; stress_status=1; }
  done
fi
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 900
exit "$stress_status"
