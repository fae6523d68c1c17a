#!/usr/bin/env bash
# Fuzzes the link, the shell and the update against a programming unit whose
# every answer comes from the fuzzer (libFuzzer with clang, AddressSanitizer,
# UndefinedBehaviorSanitizer and LeakSanitizer), for a bounded time.
#
#   tests/fuzz/fuzz.sh [SECONDS]     default 600
#
# Starts from the seed corpus in tests/fuzz/corpus and grows a working corpus
# in build/fuzz/corpus. A crash, a sanitizer report or a broken invariant
# stops it with a non-zero exit and leaves the input in build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-600}

tools/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target device_fuzz

mkdir -p build/fuzz/corpus
cd build/fuzz
echo "fuzzing for ${seconds} s"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  tests/fuzz/device_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix=./ corpus ../../tests/fuzz/corpus 2>&1 |
  grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::|ERROR|invariant|SUMMARY|Test unit written"
echo "fuzzing: no crash, no sanitizer report, no broken invariant in ${seconds} s"
