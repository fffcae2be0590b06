#!/usr/bin/env bash
# Builds every fuzz target with clang (build directory build-fuzz) and runs each in turn for
# SECONDS, one process at low priority, starting from its seed corpus in fuzz/corpus/<target>.
# Prints one line a target: executions, executions a second, coverage (cov: edges, ft:
# features) and crashes. New inputs collect in build-fuzz/fuzz-work/<target>; what makes a
# target fail goes to build-fuzz/fuzz-work/<target>-crash-*, to be fixed and then added to its
# corpus.
#   fuzz/run.sh SECONDS [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: fuzz/run.sh SECONDS [target...]}
shift
targets=("$@")
((${#targets[@]})) || targets=(command_line_fuzz receive_fuzz field_file_fuzz ymodem_receive_fuzz text_window_fuzz)

mkdir -p build-fuzz
build_log=build-fuzz/build.log
{
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVARO3_FUZZ=ON \
    -DTELVARO3_WITH_QT=OFF -DTELVARO3_WERROR=OFF
  cmake --build build-fuzz -j2 --target "${targets[@]}"
} >"$build_log" 2>&1 || { cat "$build_log"; exit 1; }

work=build-fuzz/fuzz-work
failed=0
printf '%-22s %12s %8s %6s %7s %8s\n' target executions exec/s cov ft crashes
for t in "${targets[@]}"; do
  mkdir -p "$work/$t"
  rm -f "$work/$t"-crash-* "$work/$t"-leak-* "$work/$t"-timeout-* "$work/$t"-oom-*
  log=$work/$t.log
  nice -n 19 "build-fuzz/fuzz/$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -dict="fuzz/$t.dict" -artifact_prefix="$work/$t-" "$work/$t" "fuzz/corpus/$t" >"$log" 2>&1 || true
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  stats=$(grep -E '^#[0-9]+' "$log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$stats")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$stats")
  crashes=$(find "$work" -maxdepth 1 -name "$t-*" -type f | wc -l)
  ((crashes == 0)) || failed=1
  printf '%-22s %12s %8s %6s %7s %8s\n' "$t" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "$crashes"
done
exit "$failed"
