#!/usr/bin/env bash
# Demo: builds the program if needed, then plays a terminal on a pseudo-terminal with the
# simulator. The terminal uploads ORDERS.BHT, which the program receives into demo/; then the
# program sends it back with its field file. The status window shows each transfer (a Qt window
# with a display, the text view without one).
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
build=${BUILD_DIR:-$root/build}

if [[ ! -x $build/telvaro3 || ! -x $build/tools/termsim/termsim ]]; then
  cmake -S "$root" -B "$build" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target telvaro3 termsim
fi

work=$(mktemp -d /tmp/telvaro3-demo-XXXXXX)
export XDG_CONFIG_HOME=$work/config
mkdir -p "$XDG_CONFIG_HOME/telvaro3" "$work/demo"
port=$XDG_CONFIG_HOME/telvaro3/com1
sim=""
cleanup() {
  [[ -n $sim ]] && kill "$sim" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The terminal's order file: item code (10), quantity (5), customer (8).
for i in $(seq 1 250); do
  printf 'ITEM%06d%05d CUST%03d\r\n' "$i" $((i * 7 % 100 + 1)) $((i % 40))
done >"$work/orders.txt"

start_terminal() {
  "$build/tools/termsim/termsim" --pty --link "$port" --baud 19200 "$@" >/dev/null &
  sim=$!
  for _ in $(seq 100); do [[ -e $port ]] && return; sleep 0.05; done
  echo "the terminal simulator did not start" >&2
  exit 1
}

cd "$work"
echo "== 1. The terminal uploads ORDERS.BHT; the program receives it into demo/"
start_terminal upload --file "$work/orders.txt" --name ORDERS.BHT --fields 10,5,9
"$build/telvaro3" +P0 +B19200 +IRD0 "DEMO\\" || true
wait "$sim" || true
sim=""
rm -f "$port"
echo
echo "Received:"; ls -l "$work/demo"; echo; cat "$work/demo/ORDERS.FLD"; echo

echo "== 2. The program sends ORDERS.BHT back, with the field lengths of ORDERS.FLD"
start_terminal download --save "$work/back.txt"
"$build/telvaro3" +P0 +B19200 +IRD0 "DEMO\\ORDERS.BHT" || true
wait "$sim" || true
sim=""
if cmp -s "$work/back.txt" "$work/demo/ORDERS.BHT"; then
  echo "The terminal holds the same 250 records it uploaded."
else
  echo "The file that came back differs." >&2
  exit 1
fi
