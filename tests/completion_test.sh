#!/usr/bin/env bash
# Bash completion of q9-updater-cli: commands, options (a command's own
# ones after it) and, after --in/--out, the devices that `ports` lists.
# Usage: completion_test.sh BUILD_DIR
set -uo pipefail

build=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
PATH=$build/cli:$PATH
source "$source_dir/packaging/q9-updater-cli.bash-completion"
failed=0
[ -x "$build/cli/q9-updater-cli" ] || { echo "skipped: no q9-updater-cli in this build"; exit 77; }
# Instance numbers of its own: beside another test's updater this one would
# be the second, and its virtual device "ARKO Q9 (2)".
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
export XDG_RUNTIME_DIR=$runtime

expect() {   # the words typed so far (the last one being completed) = the expected replies
  local -a words=()
  while [ "$1" != "=" ]; do words+=("$1"); shift; done
  shift
  COMP_WORDS=(q9-updater-cli "${words[@]}")
  COMP_CWORD=${#words[@]}
  COMPREPLY=()
  _q9_updater_cli
  if [ "${COMPREPLY[*]}" != "$*" ]; then
    echo "FAIL: q9-updater-cli ${words[*]}<TAB>: [${COMPREPLY[*]}], expected [$*]"
    failed=1
  fi
}

expect "" = ports version update verify plan
expect --json up = update
expect --ver = --version
expect update --no = --no-version
expect plan --no =
expect --virtual-device --in "" = 0 'ARKO\ Q9'
expect --virtual-device --out AR = 'ARKO\ Q9'
expect --virtual-device --in 9 =
exit $failed
