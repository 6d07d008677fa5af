#!/usr/bin/env bash
# Fuzzes the code that takes bytes from outside (the session's input handler,
# the MIDI layer's input path and its byte parser, the simulated unit's
# parser), each target for a bounded time in a clang build under
# AddressSanitizer and UndefinedBehaviorSanitizer, then runs the tests
# labelled memcheck of an ordinary build under valgrind. Fails on any finding.
#
#   scripts/fuzz-and-memcheck.sh [--build-dir DIR] [--fuzz-build-dir DIR]
#                                [--seconds N] [--no-fuzz] [--no-memcheck]
#
# --build-dir is an ordinary build that is already built (default
# build/debug); the fuzz build is configured and built here (default
# build/fuzz). An input that makes a target fail is kept under
# <fuzz build>/fuzz-work/<target>/artifacts/; copy it into
# fuzz/regressions/<target>/ and CTest replays it in every build from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

build_dir=build/debug
fuzz_build_dir=build/fuzz
seconds=60
run_fuzz=1
run_memcheck=1
while [ $# -gt 0 ]; do
    case "$1" in
    --build-dir) build_dir=$2; shift 2 ;;
    --fuzz-build-dir) fuzz_build_dir=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --no-fuzz) run_fuzz=0; shift ;;
    --no-memcheck) run_memcheck=0; shift ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done

packages=("${ORVIK_BUILD_PACKAGES[@]}")
[ "$run_fuzz" = 1 ] && packages+=(clang-14 libclang-rt-14-dev)
[ "$run_memcheck" = 1 ] && packages+=(valgrind)
orvik_ensure_packages "${packages[@]}"

failed=0

if [ "$run_fuzz" = 1 ]; then
    start=$SECONDS
    sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
    # Every library gets coverage instrumentation, so the fuzzer sees into
    # the code under test and not only into the targets themselves.
    cmake -S . -B "$fuzz_build_dir" -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER=clang++-14 \
        "-DCMAKE_CXX_FLAGS=$sanitizers -fsanitize=fuzzer-no-link" \
        "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" \
        -DORVIK_BUILD_FUZZ=ON -DORVIK_BUILD_BENCH=OFF -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$fuzz_build_dir" --target orvik_fuzzers -j "$(nproc)"
    echo "fuzz build: $((SECONDS - start)) s"

    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan.supp"

    for target in replydecoder loopbackinput midiinparser devicesimulator; do
        exe="$fuzz_build_dir/fuzz/fuzz_$target"
        [ -x "$exe" ] || continue
        work="$fuzz_build_dir/fuzz-work/$target"
        rm -rf "$work/corpus" "$work/artifacts"
        mkdir -p "$work/corpus" "$work/artifacts"
        # New inputs go to the scratch corpus first named; the seeds are only
        # read.
        set +e
        "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$work/artifacts/" "$work/corpus" "fuzz/corpus/$target" \
            >"$work/log" 2>&1
        rc=$?
        set -e
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
        found=$(find "$work/artifacts" -type f | wc -l)
        echo "fuzz $target: ${runs:-?} executions in ${seconds} s, exit $rc, $found findings"
        if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
            failed=1
            tail -n 60 "$work/log"
            find "$work/artifacts" -type f -print
        fi
    done
fi

if [ "$run_memcheck" = 1 ]; then
    if [ ! -f "$build_dir/CTestTestfile.cmake" ]; then
        echo "no build in $build_dir: build it first, or pass --build-dir" >&2
        exit 1
    fi
    log="$build_dir/memcheck.log"
    set +e
    ctest --test-dir "$build_dir" -L memcheck --no-tests=error -V >"$log" 2>&1
    rc=$?
    set -e
    grep -E "definitely lost|indirectly lost|ERROR SUMMARY|tests passed|tests failed" "$log" ||
        true
    if [ "$rc" -ne 0 ]; then
        failed=1
        tail -n 80 "$log"
    fi
fi

exit "$failed"
