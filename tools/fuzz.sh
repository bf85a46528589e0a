#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a while.
#
#   bash tools/fuzz.sh [SECONDS_PER_TARGET=60] [TARGET...]
#
# Targets: link_fuzz, scanner_fuzz, watcher_fuzz, decisions_fuzz (default: all).  The build goes to
# build-fuzz (or $FUZZ_BUILD_DIR); inputs found along the way go to
# <build dir>/corpus-<target>, the seeds in fuzz/corpus/ are only read.  Where
# the real receiver captures are beside the checkout (../shared/testdata/nmea),
# seeds cut from them are written to <build dir>/capture-seeds and read too.
# A crash, a broken rule, a sanitizer report or a leak ends the run with the
# input saved as <build dir>/artifacts/<target>-crash-..., and this script
# exits non-zero.  FUZZ_ARGS adds libFuzzer options (e.g. FUZZ_ARGS=-runs=10000000).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then targets=(link_fuzz scanner_fuzz watcher_fuzz decisions_fuzz); fi
build="${FUZZ_BUILD_DIR:-build-fuzz}"

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCOLDSTART_FUZZ=ON -DCOLDSTART_TESTS=OFF -DCOLDSTART_WERROR=ON >/dev/null
cmake --build "$build" --target "${targets[@]}"

# The captures are not redistributed: their seeds are made here, never kept.
captures=../shared/testdata/nmea
capture_seeds=""
if [ -d "$captures" ]; then
    capture_seeds="$build/capture-seeds"
    rm -rf "$capture_seeds"
    python3 fuzz/make_corpus.py "$captures" "$capture_seeds"
else
    echo "== no $captures beside the checkout: hand-made seeds only"
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p "$build/artifacts"
status=0
for target in "${targets[@]}"; do
    case "$target" in
        link_fuzz) kind=link; max_len=4096 ;;
        scanner_fuzz | watcher_fuzz | decisions_fuzz) kind=scanner; max_len=16384 ;;
        *) echo "unknown target $target" >&2; exit 2 ;;
    esac
    seeds=(fuzz/corpus/$kind)
    if [ -n "$capture_seeds" ]; then seeds+=("$capture_seeds/$kind"); fi
    corpus="$build/corpus-$target"
    mkdir -p "$corpus"
    echo "== $target for ${seconds}s"
    # shellcheck disable=SC2086
    if ! "$build/fuzz/$target" "$corpus" "${seeds[@]}" -max_total_time="$seconds" \
        -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" ${FUZZ_ARGS:-}; then
        echo "== $target FAILED" >&2
        status=1
    else
        echo "== $target ok"
    fi
done
exit $status
