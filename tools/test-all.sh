#!/usr/bin/env bash
# Sets up the machine, builds, and runs every test: once in the Release build
# the package is made from and once with AddressSanitizer and UBSan, warnings
# being errors in both; then a short fuzz run of each fuzz
# target, and the formatting check.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

echo "== build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DCOLDSTART_WERROR=ON
cmake --build build
echo "== tests"
ctest --test-dir build --output-on-failure

echo "== build with AddressSanitizer and UBSan"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCOLDSTART_SANITIZE=ON -DCOLDSTART_WERROR=ON
cmake --build build-asan
echo "== tests with AddressSanitizer and UBSan"
ctest --test-dir build-asan --output-on-failure

echo "== fuzzing, briefly"
bash tools/fuzz.sh "${FUZZ_SECONDS:-20}"

echo "== formatting"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
echo "formatting ok"
