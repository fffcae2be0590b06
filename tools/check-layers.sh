#!/usr/bin/env bash
# Checks that every #include under src/ runs down the layers or stays in its own folder, never up
# or sideways, and that the core includes nothing but the C++ standard library from outside.
#
# The core, from the bottom: base, link, settings, then send and receive side by side (neither
# includes the other), then shell. The platform folders stand on base and implement its
# interfaces; app stands on everything.
#
#   tools/check-layers.sh [source-directory]     (default: src)
set -euo pipefail
cd "$(dirname "$0")/.."
src=${1:-src}

# The folders each folder may include from, itself among them.
declare -A allowed=(
  [base]="base"
  [link]="base link"
  [settings]="base link settings"
  [send]="base link settings send"
  [receive]="base link settings receive"
  [shell]="base link settings send receive shell"
  [posix]="base posix"
  [serial]="base posix serial"
  [ui]="base ui"
  [systemd]="base systemd"
  [app]="base link settings send receive shell posix serial ui systemd app"
)
core=" base link settings send receive shell "

local_re='^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)"'
system_re='^[[:space:]]*#[[:space:]]*include[[:space:]]*<([^>]*)>'

bad=0
complain() {
  echo "$1: $2" >&2
  bad=1
}

while IFS= read -r file; do
  folder=${file#"$src"/}
  folder=${folder%%/*}
  if [[ -z ${allowed[$folder]+set} ]]; then
    complain "$file" "folder $folder has no place in the layers (add it to tools/check-layers.sh)"
    continue
  fi
  while IFS=: read -r line text; do
    if [[ $text =~ $local_re ]]; then
      target=${BASH_REMATCH[1]}
      if [[ $target != */* || $target == .* ]]; then
        complain "$file:$line" "include \"$target\" by its folder under $src, as \"folder/name.h\""
        continue
      fi
      to=${target%%/*}
      if [[ " ${allowed[$folder]} " != *" $to "* ]]; then
        complain "$file:$line" "$folder may not include $target"
      fi
    elif [[ $core == *" $folder "* && $text =~ $system_re ]]; then
      # Standard C++ headers have no extension and no folder; Qt's start with Q.
      header=${BASH_REMATCH[1]}
      if [[ $header == *.* || $header == */* || $header == Q* ]]; then
        complain "$file:$line" "the core may not include <$header>"
      fi
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include' "$file" || true)
done < <(find "$src" -type f \( -name '*.h' -o -name '*.cpp' \) | sort)

if ((bad)); then
  echo "check-layers: includes out of layer order" >&2
  exit 1
fi
echo "check-layers: every include under $src runs down the layers"
