#!/usr/bin/env bash
# Builds the Debian package from a configured and built build directory and checks it: the
# files it must hold, the dependencies read from the binaries, and that both manual pages render
# without a warning. Runs lintian too when it is installed (it is not part of CI's packages).
#
#   .ci/package-check.sh [build-directory]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")

fail() {
  echo "package check: $*" >&2
  exit 1
}

out=$build/package
rm -rf "$out"
mkdir -p "$out"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 ||
  { cat "$out/cpack.log" >&2; fail "cpack failed"; }
debs=("$out"/telvaro3_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "expected one telvaro3_*.deb in $out"
deb=${debs[0]}
echo "== $(basename "$deb")"

# Contents.
listing=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for f in \
  ./usr/bin/telvaro3 \
  ./usr/bin/telvaro3-termsim \
  ./usr/share/man/man1/telvaro3.1.gz \
  ./usr/share/man/man1/telvaro3-termsim.1.gz \
  ./usr/share/bash-completion/completions/telvaro3 \
  ./usr/share/doc/telvaro3/copyright \
  ./usr/share/doc/telvaro3/README.md \
  ./usr/share/doc/telvaro3/examples/99-telvaro3-cradle.rules \
  ./usr/share/doc/telvaro3/examples/telvaro3-receive.conf \
  ./usr/lib/systemd/system/telvaro3-receive@.service \
  ./usr/lib/telvaro3/telvaro3-receive \
  ./usr/lib/sysusers.d/telvaro3.conf \
  ./usr/lib/tmpfiles.d/telvaro3.conf; do
  grep -qxF "$f" <<<"$listing" || fail "$f is missing from the package"
done
for f in ./usr/bin/telvaro3 ./usr/bin/telvaro3-termsim ./usr/lib/telvaro3/telvaro3-receive; do
  dpkg-deb -c "$deb" | grep -E "^-rwxr-xr-x .* $f\$" >/dev/null || fail "$f is not executable"
done

# The scripts that make the service's user and spool.
for script in postinst prerm postrm; do
  dpkg-deb -I "$deb" "$script" | sh -n || fail "the package has no valid $script"
done

# Control fields: dependencies come from the binaries. The main package needs none of Qt: the
# graphical window is a package of its own, which it recommends. Nor does it load libsystemd: it
# speaks to the service manager and the journal over their sockets.
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libc6* && $depends == *libstdc++6* ]] ||
  fail "Depends was not computed from the binaries: '$depends'"
[[ $depends != *qt* ]] || fail "the main package depends on Qt: '$depends'"
[[ $depends != *libsystemd* ]] || fail "the main package depends on libsystemd: '$depends'"
if grep -q '^Qt6_DIR:PATH=/' "$build/CMakeCache.txt" &&
  grep -q '^TELVARO3_WITH_QT:BOOL=ON' "$build/CMakeCache.txt"; then
  [[ $(dpkg-deb -f "$deb" Recommends) == *telvaro3-qt* ]] || fail "telvaro3 does not recommend telvaro3-qt"
  qtdebs=("$out"/telvaro3-qt_*.deb)
  [[ -f ${qtdebs[0]} ]] || fail "no telvaro3-qt package"
  qtdepends=$(dpkg-deb -f "${qtdebs[0]}" Depends)
  [[ $qtdepends == *libqt6widgets6* && $qtdepends == *"telvaro3 (="* ]] ||
    fail "telvaro3-qt's Depends lacks Qt or telvaro3: '$qtdepends'"
  # The graphical window is a module of its own, loaded only when there is a display.
  # The listing is read whole first: grep -q stops at its match, and under pipefail the
  # listing's broken pipe would fail the check on a package that is right.
  qtlisting=$(dpkg-deb -c "${qtdebs[0]}")
  grep -q ' \./usr/lib/telvaro3/modules/telvaro3-qt\.so$' <<<"$qtlisting" ||
    fail "the Qt window's module is missing"
fi
for field in Maintainer Description; do
  [[ -n $(dpkg-deb -f "$deb" "$field") ]] || fail "the control field $field is empty"
done

# The shipped files themselves: manual pages render without a warning, the completion parses,
# the compressed files are compressed the reproducible way (no name, no time stamp).
tree=$out/tree
dpkg-deb -x "$deb" "$tree"
for page in "$tree"/usr/share/man/man1/*.1.gz; do
  gzip -t "$page"
  [[ $(od -An -tx1 -j4 -N4 "$page" | tr -d ' ') == 00000000 ]] ||
    fail "$(basename "$page") carries a time stamp (not gzip -n)"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "man warns about $(basename "$page"): $warnings"
  echo "manual page $(basename "$page" .gz): no warnings"
done
# The installed README is for users: no building, no test script, the installed names.
readme=$tree/usr/share/doc/telvaro3/README.md
grep -q '^## Running as a service$' "$readme" || fail "the installed README lacks the service"
! grep -nE '\./build/|test\.sh|^## (Building|Fuzzing)' "$readme" || fail "the installed README is the developers' one"
bash -n "$tree/usr/share/bash-completion/completions/telvaro3" || fail "the completion does not parse"
completion=$(bash -c 'source "$1"; COMP_WORDS=(telvaro3 +ym); COMP_CWORD=1; _telvaro3; echo "${COMPREPLY[*]}"' \
  _ "$tree/usr/share/bash-completion/completions/telvaro3")
[[ $completion == +YMOD ]] || fail "completing +ym gives '$completion', not +YMOD"
# A directory is offered the way the program takes it, IN\, not IN/.
mkdir -p "$out/cwd/in/sub"
completion=$(cd "$out/cwd" && bash -c 'source "$1"; COMP_WORDS=(telvaro3 "$2"); COMP_CWORD=1; _telvaro3; echo "${COMPREPLY[*]}"' \
  _ "$tree/usr/share/bash-completion/completions/telvaro3" 'in\\')
[[ $completion == 'in\sub\' ]] || fail "completing 'in\\' gives '$completion', not 'in\sub\'"

if command -v lintian >/dev/null; then
  # Errors fail the check; warnings are shown.
  lintian --tag-display-limit 0 "$deb" || fail "lintian reports errors"
fi
echo "package check passed"
