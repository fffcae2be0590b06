#!/usr/bin/env bash
# Checks that the usage texts cannot drift apart: every option the program's --help lists is
# described in its manual page, (its + and - tokens) in the README's option table and in the bash
# completion, and every option those describe is in --help; the same between the simulator's --help and its manual page. The --help texts
# are the source; the manual pages and the README are checked against them.
#
# Options are compared by name without their numbers: +P0 ... +P19 is +P, +B300 is +B,
# +IRD<ms> is +IRD.
#
#   tools/check-usage.sh PROGRAM TERMSIM      (the built telvaro3 and termsim)
set -euo pipefail
if (($# != 2)); then
  echo "usage: $0 PROGRAM TERMSIM" >&2
  exit 2
fi
program=$1
termsim=$2
cd "$(dirname "$0")/.."

# Accepted by the program and described in the manual page and the README, but left out of the
# --help summary: +RSG changes nothing and is there only so that old command lines still work.
help_leaves_out=(+RSG)

# The option names in the text on standard input, one a line, sorted, without duplicates.
option_names() {
  sed 's/\\-/-/g' | grep -oE '(^|[[:space:]`"])(\+|-|--)[A-Za-z][A-Za-z-]*' |
    sed -E 's/^[[:space:]`"]//; s/-+$//' | sort -u
}

# The heading lines of the tagged paragraphs (.TP) of a manual page, in section $2 (all when
# empty): where each option is described.
man_items() {
  awk -v want="$2" '
    /^\.SH/ { name = $0; sub(/^\.SH[[:space:]]+"?/, "", name); sub(/"$/, "", name)
              inside = (want == "" || name == want) }
    inside && heading { print; heading = 0; next }
    inside && /^\.TP/ { heading = 1 }' "$1"
}

bad=0
# Compares two lists of option names and tells what one has and the other lacks.
compare() {
  local what_a=$1 a=$2 what_b=$3 b=$4 only
  only=$(comm -23 <(echo "$a") <(echo "$b"))
  if [[ -n $only ]]; then
    echo "check-usage: in $what_a but not in $what_b:" $only >&2
    bad=1
  fi
  only=$(comm -13 <(echo "$a") <(echo "$b"))
  if [[ -n $only ]]; then
    echo "check-usage: in $what_b but not in $what_a:" $only >&2
    bad=1
  fi
}

# The program: --help, the manual page's OPTIONS, the README's table under "## Command line".
help=$({ "$program" --help; printf '%s\n' "${help_leaves_out[@]}"; } | option_names)
man=$(man_items man/telvaro3.1 OPTIONS | option_names)
readme=$(awk '/^## /{inside = ($0 == "## Command line")} inside && /^\| `/' README.md |
  cut -d'|' -f2 | option_names)
compare "telvaro3 --help" "$help" "man/telvaro3.1" "$man"
# The table holds the job's tokens; --help, --version and --exit-status have prose of their own.
compare "telvaro3 --help" "$(grep -v '^--' <<<"$help")" "the README's option table" "$readme"

# The bash completion offers every option but +EW, which it leaves out on purpose.
completion=$(sed -n '/local opts=(/,/^  )/p; /opts+=(/p' packaging/telvaro3.bash-completion |
  sed 's/{0..19}//; s/(/ /g' | option_names)
compare "telvaro3 --help" "$(grep -vx -- '+EW' <<<"$help")" "the bash completion" "$completion"

# The simulator: the options its --help lists (one at the start of a line) and its manual page.
# Its options are all long; a +XX in their text is the program's, which they refer to.
help=$("$termsim" --help | grep -E '^[[:space:]]+--' | option_names | grep '^--')
man=$(man_items man/telvaro3-termsim.1 "" | option_names | grep '^--')
compare "termsim --help" "$help" "man/telvaro3-termsim.1" "$man"

if ((bad)); then
  exit 1
fi
echo "check-usage: the manual pages and the README list the options --help lists"
