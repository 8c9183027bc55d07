#!/usr/bin/env bash
# Builds everything and runs the whole test suite: all tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threaded tests again under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_deps.sh

jobs=$(nproc)
# No sound card is assumed: SDL's dummy audio driver unless a test picks another (the audio
# tests use the disk driver to capture what is played).
export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}

cmake -S . -B build/asan -DQV_SANITIZER=asan
cmake --build build/asan -j"$jobs"
(cd build/asan && ctest --output-on-failure -j"$jobs" --timeout 300)

cmake -S . -B build/tsan -DQV_SANITIZER=tsan
cmake --build build/tsan -j"$jobs"
(cd build/tsan && ctest --output-on-failure -j"$jobs" --timeout 300 -L threaded)
