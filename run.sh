#!/usr/bin/env bash
# One entry point for a newcomer on Debian 12:
#   ./run.sh demo   build and run the application against simulated chips
#   ./run.sh test   build with sanitizers and run the whole test suite
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

build_pkgs=(cmake g++ make qtbase5-dev libqt5serialport5-dev qtmultimedia5-dev qttools5-dev-tools libqt5multimedia5-plugins libqt5sql5-sqlite libqt5sql5-psql dpkg-dev)
test_pkgs=(lrzsz clang libclang-rt-14-dev qttools5-dev qttranslations5-l10n desktop-file-utils postgresql)
demo_pkgs=()

need_pkgs() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
    else
        echo "Missing packages. Install them with:"
        echo "  sudo apt-get install -y ${missing[*]}"
        exit 1
    fi
}

jobs=$(nproc 2>/dev/null || echo 2)

case "${1:-}" in
demo)
    need_pkgs "${build_pkgs[@]}" ${demo_pkgs[@]+"${demo_pkgs[@]}"}
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j "$jobs"
    exec "$root/scripts/demo.sh" "$root/build"
    ;;
test)
    need_pkgs "${build_pkgs[@]}" "${test_pkgs[@]}"
    # libFuzzer targets need clang: they live in a tree of their own that the suite runs briefly.
    scripts/fuzz.sh build
    cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DZDZ_BUILD_TESTS=ON -DZDZ_SANITIZE=ON \
        -DZDZ_FUZZ_BUILD_DIR="$root/build-fuzz"
    cmake --build build-test -j "$jobs"
    cd build-test
    ctest --output-on-failure -j "$jobs" --timeout 300
    ;;
*)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac
