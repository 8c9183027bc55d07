#!/usr/bin/env bash
# Open-ended fuzzing: builds every fuzz target with clang's libFuzzer and AddressSanitizer in
# build/fuzz, then runs each for SECONDS (default 60) on two cores' worth of jobs in turn. Each
# target keeps its corpus in fuzz/corpus/TARGET (not committed), seeded from the test media on
# the first run; crashes and their inputs land in fuzz/corpus/TARGET-crashes.
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET ...]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_deps.sh fuzz

seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_rtp_info fuzz_stream_crypt fuzz_rx_ts fuzz_sdx)
fi

cmake -S . -B build/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQV_SANITIZER=asan -DQV_LIBFUZZER=ON >/dev/null
cmake --build build/fuzz -j"$(nproc)" --target "${targets[@]}" klv_ts_sender

export SDL_AUDIODRIVER=dummy
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
for t in "${targets[@]}"; do
  corpus=fuzz/corpus/$t
  crashes=fuzz/corpus/$t-crashes
  mkdir -p "$corpus" "$crashes"
  if [ "$t" = fuzz_rx_ts ] && [ -z "$(ls -A "$corpus")" ]; then
    bash fuzz/make_seeds.sh "$corpus" build/fuzz/tools/klv_ts_sender
  fi
  echo "== $t for ${seconds}s (corpus $corpus)"
  if ! build/fuzz/fuzz/"$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 \
       -max_len=1048576 -artifact_prefix="$crashes/" "$corpus"; then
    status=1
  fi
done
exit $status
