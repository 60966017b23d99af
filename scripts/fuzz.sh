#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and fuzzes
# the specification loader, starting from the committed seed corpus.
#   scripts/fuzz.sh          # 30 seconds, as the test command runs it
#   scripts/fuzz.sh 3600     # an hour
# Inputs that reach new code are kept in build/fuzz/corpus (the committed corpus is only read).
# Any finding (crash, sanitizer report, leak, hang) fails the run; the input that caused it is
# written to build/fuzz/artifacts/ and the sanitizer's report to build/fuzz/sanitizer.*. A
# finding, once fixed, belongs in tests/fuzz/corpus/spec_loader as a regression input.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

cdt_archive=$(ls build/*/_deps/cdt/download/*.tar.gz 2>/dev/null | head -n 1 || true)
cdt_option=()
[ -n "$cdt_archive" ] && cdt_option=("-DORBELLE_CDT_ARCHIVE=$PWD/$cdt_archive")

CC=clang CXX=clang++ cmake -S tests/fuzz -B build/fuzz -G Ninja "${cdt_option[@]}" >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target spec_loader_fuzzer

out=build/fuzz
mkdir -p "$out/corpus" "$out/artifacts"
rm -f "$out"/sanitizer.*
# The loader's own messages on the standard streams are closed away (-close_fd_mask=3); the
# sanitizers write to files instead, and libFuzzer keeps its own report stream.
status=0
ASAN_OPTIONS=detect_leaks=1:log_path=$out/sanitizer UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$out/sanitizer \
    "$out/spec_loader_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$out/artifacts/" \
    "$out/corpus" tests/fuzz/corpus/spec_loader 2>"$out/spec_loader.log" || status=$?
if [ "$status" -ne 0 ] || ls "$out"/sanitizer.* >/dev/null 2>&1; then
    tail -n 40 "$out/spec_loader.log"
    cat "$out"/sanitizer.* 2>/dev/null || true
    echo "Fuzzing the specification loader found a fault (status $status)."
    exit 1
fi
grep -E "^(stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb)|^Done" "$out/spec_loader.log"
echo "Corpus: $(ls tests/fuzz/corpus/spec_loader | wc -l) seeds, $(ls "$out/corpus" | wc -l) inputs found."
