#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks (run as root), runs the robustness tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, replays the fuzz corpora through their targets,
# then builds the program with warnings as errors, runs every test, and builds and checks the
# Debian package.
set -euo pipefail
cd "$(dirname "$0")"

# dpkg-dev and file: the package's dependencies are read from the binaries; man-db: the manual
# pages are checked as man renders them; clang and its runtime: the fuzz targets (libFuzzer);
# clang-format (a package of its own, not part of clang): the formatting check;
# xvfb and xauth: the Qt window is tried on a virtual X display; systemd: systemd-analyze checks
# the unit, and a journald of the tests' own (started in a private mount namespace, util-linux's
# unshare) takes the program's entries and notifications.
packages=(g++ cmake make libgtest-dev libgmock-dev qt6-base-dev lrzsz dpkg-dev file man-db clang
  clang-format libclang-rt-14-dev xvfb xauth systemd util-linux)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y "${missing[@]}"
fi

# The layers: every include runs down them, none up or sideways.
tools/check-layers.sh
# The C++ sources as clang-format leaves them.
tools/check-format.sh

jobs=$(nproc)

# Random and hostile input through the parsers and the protocol, under the sanitizers.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTELVARO3_WERROR=ON -DTELVARO3_SANITIZE=ON \
  -DTELVARO3_WITH_QT=OFF
sanitized=()
for t in settings_test receive_test send_test link_test spool_test; do
  [[ -f tests/$t.cpp ]] && sanitized+=("$t")
done
cmake --build build-asan -j"$jobs" --target "${sanitized[@]}"
for t in "${sanitized[@]}"; do
  echo "== $t (sanitizers)"
  ./build-asan/tests/"$t" --gtest_brief=1
done

# Every input of the fuzz corpora once through its target (fuzz/run.sh fuzzes for longer). Warnings
# as errors stay with the g++ build: clang has warnings of its own.
if command -v clang++ >/dev/null; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz-ci -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTELVARO3_FUZZ=ON -DTELVARO3_WITH_QT=OFF -DTELVARO3_WERROR=OFF
  cmake --build build-fuzz-ci -j"$jobs" --target fuzz_targets
  for corpus in fuzz/corpus/*/; do
    t=$(basename "$corpus")
    inputs=("$corpus"*)
    echo "== $t (${#inputs[@]} corpus inputs)"
    log=build-fuzz-ci/$t.log
    ./build-fuzz-ci/fuzz/"$t" "${inputs[@]}" >"$log" 2>&1 || { cat "$log"; exit 1; }
  done
fi

# Everything, with warnings as errors.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVARO3_WERROR=ON
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

# The Debian package: its contents, its dependencies, its manual pages.
.ci/package-check.sh build
