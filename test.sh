#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks (run as root), runs the robustness tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, then builds the program with warnings as
# errors, runs every test, and builds and checks the Debian package.
set -euo pipefail
cd "$(dirname "$0")"

# dpkg-dev and file: the package's dependencies are read from the binaries; man-db: the manual
# pages are checked as man renders them.
packages=(g++ cmake make libgtest-dev libgmock-dev qt6-base-dev lrzsz dpkg-dev file man-db)
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

jobs=$(nproc)

# Random and hostile input through the parsers and the protocol, under the sanitizers.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTELVARO3_WERROR=ON -DTELVARO3_SANITIZE=ON \
  -DTELVARO3_WITH_QT=OFF
sanitized=()
for t in command_fuzz_test settings_test receive_fuzz_test receive_test send_test link_test; do
  [[ -f tests/$t.cpp ]] && sanitized+=("$t")
done
cmake --build build-asan -j"$jobs" --target "${sanitized[@]}"
for t in "${sanitized[@]}"; do
  echo "== $t (sanitizers)"
  ./build-asan/tests/"$t" --gtest_brief=1
done

# Everything, with warnings as errors.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVARO3_WERROR=ON
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

# The Debian package: its contents, its dependencies, its manual pages.
.ci/package-check.sh build
