#!/usr/bin/env bash
# Installs whatever is missing, then runs every test: the C++ unit tests (plain and under
# AddressSanitizer and UndefinedBehaviorSanitizer), a bounded libFuzzer run of the specification
# loader and the end-to-end Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# The front end's tests also run it on a Dask cluster (the package's optional "distributed" extra).
.venv/bin/python -m pip install -q dask distributed
.venv/bin/python -m pip install -q hypothesis

jobs=$(nproc)

# The package build above has already downloaded the triangulation headers' archive; the test
# builds reuse it instead of downloading it again.
cdt_archive=$(ls build/*/_deps/cdt/download/*.tar.gz 2>/dev/null | head -n 1 || true)
cdt_option=()
[ -n "$cdt_archive" ] && cdt_option=("-DORBELLE_CDT_ARCHIVE=$PWD/$cdt_archive")

echo "== C++ unit tests"
cmake -S . -B build/unit -G Ninja -DCMAKE_BUILD_TYPE=Release -DORBELLE_BUILD_MODULE=OFF -DORBELLE_BUILD_TESTS=ON "${cdt_option[@]}" >/dev/null
cmake --build build/unit -j "$jobs" --target unit_tests
build/unit/unit_tests --gtest_brief=1

echo "== C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORBELLE_BUILD_MODULE=OFF \
    -DORBELLE_BUILD_TESTS=ON -DORBELLE_SANITIZE=ON "${cdt_option[@]}" >/dev/null
cmake --build build/sanitize -j "$jobs" --target unit_tests
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 build/sanitize/unit_tests --gtest_brief=1

echo "== Fuzzing the specification loader (libFuzzer, 30 seconds)"
scripts/fuzz.sh 30

echo "== End-to-end tests"
.venv/bin/python -m pytest tests/python -q
