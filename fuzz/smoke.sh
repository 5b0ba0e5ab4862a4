#!/usr/bin/env bash
# Builds every fuzz target with clang, libFuzzer, ASan and UBSan, and runs each for a short
# while on a copy of its seed corpus. FUZZ_SECONDS sets the time per target (default 20);
# FUZZ_SEED fixes the mutation seed (default 1) so a CI run can be repeated here.
# Long runs: FUZZ_SECONDS=600 bash fuzz/smoke.sh, or run one target by hand:
#   build-fuzz/fuzz/plist/fuzz_plist_xml -max_total_time=600 fuzz/plist/corpus/plist_xml
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
build=${FUZZ_BUILD_DIR:-build-fuzz}

CC=clang CXX=clang++ cmake -G Ninja -S . -B "$build" -DOSTREL_BUILD_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=$(ninja -C "$build" -t targets all | sed -n 's/^\(fuzz_[A-Za-z0-9_]*\): phony$/\1/p' | sort -u)
if [ -z "$targets" ]; then
  echo "fuzz smoke: no fuzz targets"
  exit 0
fi
# shellcheck disable=SC2086
ninja -C "$build" -j"$(nproc)" $targets

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Crashing inputs outlive the run here, and are printed in base64 so a CI log carries them.
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
status=0
for t in $targets; do
  exe=$(find "$build/fuzz" -type f -name "$t" -perm -u+x | head -n 1)
  what=${t#fuzz_}
  # Seeds live in fuzz/<area>/corpus/, named after the target with or without its area prefix.
  area=$(basename "$(dirname "$exe")")
  seeds=
  for name in "$what" "${what#"${area}_"}" "$t"; do
    if [ -d "fuzz/$area/corpus/$name" ]; then seeds="fuzz/$area/corpus/$name"; break; fi
  done
  [ -n "$seeds" ] || echo "fuzz smoke: $t has no seed corpus"
  mkdir -p "$work/$what"
  [ -n "$seeds" ] && cp -r "$seeds"/. "$work/$what"/
  echo "fuzz smoke: $t for ${seconds}s"
  if ! "$exe" -seed="${FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$artifacts/$t-" "$work/$what" >"$work/$t.log" 2>&1; then
    echo "fuzz smoke: $t FAILED"
    tail -n 40 "$work/$t.log"
    for f in "$artifacts/$t"-*; do
      [ -f "$f" ] || continue
      echo "fuzz smoke: input kept in $f ($(stat -c %s "$f") bytes), base64:"
      head -c 65536 "$f" | base64
    done
    status=1
  else
    grep -E '^#[0-9]+.*DONE' "$work/$t.log" | tail -n 1 || true
  fi
done
exit $status
