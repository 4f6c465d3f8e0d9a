#!/usr/bin/env bash
# Checks the Debian package as a user gets it: lintian (no errors), the
# desktop entry and the AppStream metadata, then installs it (dpkg -i, and
# apt-get -f install for missing dependencies), runs the installed programs,
# renders the manual, loads the completion, removes the package and checks
# that every file it installed is gone.  The package is removed again however
# the script ends.  Needs root (as CI runs).  Usage: check-package.sh BUILD_DIR
set -euo pipefail

build=${1:-build}
package=q9-updater
version=$(sed -n 's/^project(q9_updater VERSION \([^ ]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
deb=$(ls "$build"/${package}_"$version"_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "check-package: no ${package}_${version}_*.deb in $build (make package)" >&2; exit 1; }
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi

work=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" -eq 1 ] && dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    echo "check-package: removing $package again"
    $sudo dpkg -r "$package" >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step() { echo "== $*"; }
fail() { echo "check-package: FAIL: $*" >&2; exit 1; }

# dpkg waits for no lock of its own: try again while another install runs.
dpkg_locked() {
  local out
  for _ in $(seq 1 120); do
    if out=$($sudo "$@" 2>&1); then echo "$out"; return 0; fi
    grep -q "lock" <<<"$out" || { echo "$out"; return 1; }
    sleep 2
  done
  echo "$out"
  return 1
}

step "lintian $deb"
status=0
report=$(lintian --fail-on error "$deb" 2>&1) || status=$?
grep -v "running with root privileges" <<<"$report" || true
[ "$status" -eq 0 ] || fail "lintian reports errors"

step "desktop entry and AppStream metadata of the package"
dpkg-deb -x "$deb" "$work/root"
desktop-file-validate "$work/root/usr/share/applications/q9-updater.desktop"
appstream-util validate-relax --nonet "$work"/root/usr/share/metainfo/*.metainfo.xml

step "dpkg -i"
installed=1
if ! dpkg_locked dpkg -i "$deb"; then
  step "apt-get -f install (the package's dependencies)"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -f install -y -qq -o DPkg::Lock::Timeout=300 >/dev/null
fi
dpkg-query -W -f='${Status}' "$package" | grep -q "ok installed" || fail "$package did not install"
files=$(dpkg -L "$package")

step "the installed programs"
for program in q9-updater-cli q9-updater q9-virtual-device; do
  out=$("/usr/bin/$program" --version) || fail "$program --version failed"
  [ "$out" = "$program $version" ] || fail "$program --version says '$out', not '$program $version'"
  echo "$out"
done
out=$(/usr/bin/q9-updater-cli --virtual-device update) || fail "q9-updater-cli --virtual-device update failed: $out"
grep -q "^Version update completed.$" <<<"$out" || fail "the update did not complete: $out"
echo "q9-updater-cli --virtual-device update: completed"

step "man q9-updater-cli"
warnings=$(MANWIDTH=80 man --warnings q9-updater-cli 2>&1 >"$work/man.txt") || fail "man q9-updater-cli failed: $warnings"
[ -z "$warnings" ] || fail "man q9-updater-cli warns: $warnings"
grep -q "q9-updater-cli" "$work/man.txt" || fail "man q9-updater-cli shows nothing"
echo "$(wc -l <"$work/man.txt") lines"

step "bash completion"
bash -c 'source /usr/share/bash-completion/completions/q9-updater-cli && complete -p q9-updater-cli'

step "dpkg -r"
dpkg_locked dpkg -r "$package" >/dev/null || fail "dpkg -r failed"
left=""
while IFS= read -r path; do
  case $path in
    /usr/share/doc/$package) [ -e "$path" ] && left+="$path"$'\n' ;;
    *) [ -e "$path" ] && [ ! -d "$path" ] && left+="$path"$'\n' ;;
  esac
done <<<"$files"
[ -z "$left" ] || fail "left behind after dpkg -r:"$'\n'"$left"
echo "all $(grep -c . <<<"$files") paths of the package are gone"
installed=0
echo "check-package: OK"
