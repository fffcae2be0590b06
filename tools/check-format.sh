#!/usr/bin/env bash
# Fails when clang-format, with the repository's .clang-format, would change any C++ file under
# src, tools, tests, bench or fuzz, and names those files. `clang-format -i FILE` fixes one.
#
#   tools/check-format.sh        (CLANG_FORMAT=clang-format-14 picks another formatter)
set -euo pipefail
cd "$(dirname "$0")/.."
format=${CLANG_FORMAT:-clang-format}
if ! command -v "$format" >/dev/null; then
  echo "check-format: $format not found (Debian: apt-get install clang-format)" >&2
  exit 1
fi

bad=0
while IFS= read -r -d '' file; do
  if ! "$format" --dry-run -Werror "$file" >/dev/null 2>&1; then
    echo "$file: not as clang-format would leave it" >&2
    bad=1
  fi
done < <(find src tools tests bench fuzz -type f \( -name '*.cpp' -o -name '*.h' \) -print0 |
  sort -z)

if ((bad)); then
  echo "check-format: run clang-format -i on the files above" >&2
  exit 1
fi
echo "check-format: every C++ file is as clang-format leaves it"
