#!/usr/bin/env bash
# Long fuzz runs of the code that reads the line and the settings store.
#   scripts/fuzz.sh build                      build (or update) the fuzz tree only
#   scripts/fuzz.sh TARGET SECONDS [OPTION...] run one target, e.g. fuzz_ymodem 3600
#   scripts/fuzz.sh all SECONDS                every target in turn, SECONDS each
# Targets: fuzz_ymodem, fuzz_chipdialogue, fuzz_userconfig. OPTIONs go to libFuzzer
# (-jobs=2, -max_len=65536, ...). The fuzz tree is build-fuzz/ unless ZDZ_FUZZ_BUILD_DIR
# names another folder. The growing corpus stays in the build tree; crash inputs land in
# <build>/crashes/TARGET/ and make the script fail. A crash input that is fixed belongs in
# tests/fuzz/corpus/TARGET/ as regress-<what>, so every later run replays it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZDZ_FUZZ_BUILD_DIR:-$root/build-fuzz}
targets=(fuzz_ymodem fuzz_chipdialogue fuzz_userconfig)

usage() {
    sed -n '2,11s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

build_tree() {
    if ! command -v clang++ >/dev/null; then
        echo "clang++ is missing: apt-get install clang libclang-rt-14-dev" >&2
        exit 1
    fi
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
    fi
    cmake --build "$build" -j "${ZDZ_FUZZ_JOBS:-2}"
}

run_target() {
    local target=$1 seconds=$2
    shift 2
    local corpus=$build/corpus/$target crashes=$build/crashes/$target
    mkdir -p "$corpus" "$crashes"
    # Seeds and regression inputs first, so a known crash shows at once.
    cp -n "$root/tests/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
    echo "== $target for ${seconds}s, corpus $corpus"
    local status=0
    (cd "$crashes" && "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$crashes/" "$@" "$corpus") || status=$?
    if [ "$status" -ne 0 ]; then
        echo "== $target FAILED ($status); inputs in $crashes:" >&2
        ls -1 "$crashes" >&2
    fi
    return "$status"
}

[ $# -ge 1 ] || usage
case "$1" in
build)
    build_tree
    ;;
all)
    [ $# -eq 2 ] || usage
    build_tree
    failed=0
    for target in "${targets[@]}"; do
        run_target "$target" "$2" || failed=1
    done
    exit "$failed"
    ;;
fuzz_*)
    [ $# -ge 2 ] || usage
    [[ " ${targets[*]} " == *" $1 "* ]] || usage
    build_tree
    run_target "$@"
    ;;
*)
    usage
    ;;
esac
