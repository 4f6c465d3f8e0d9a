#!/usr/bin/env bash
# The manual pages say what the programs do: every option a program's --help
# shows is in its manual and the other way round; for q9-updater-cli also the
# commands, exit statuses and virtual device settings.  Each page renders
# without a warning.  Usage: man_pages_test.sh BUILD_DIR
set -uo pipefail

build=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
failed=0
[ -d "$build/packaging/man" ] || { echo "skipped: no manual pages in this build"; exit 77; }

# The first argument of every line of the manual page $1 that calls macro $2.
man_items() {
  sed -n "s/^\\.$2 //p" "$source_dir/packaging/$1.1" |
    sed -E 's/^"([^"]*)".*/\1/; t; s/ .*//' |
    sed -E 's/\\-/-/g; s/\\f[BIRP]//g'
}

# The options in the manual page $1, one per line, sorted.
man_options() {
  man_items "$1" OPT | grep -oE -- '-{1,2}[A-Za-z][A-Za-z-]*' | sort -u
}

# The options in a help text on stdin: the first column of the lines that
# begin with an option.
help_options() {
  grep -E '^ +-' | sed -E 's/^ +//; s/  .*//' | grep -oE -- '-{1,2}[A-Za-z][A-Za-z-]*' | sort -u
}

# The first word of each line of section $1 (a heading that starts so) of a help text.
help_section() {
  awk -v heading="$1" 'index($0, heading) == 1 { inside = 1; next } inside && /^$/ { inside = 0 }
                       inside { print $1 }' | sort -u
}

compare() {   # what, from the manual, from --help
  if [ "$2" != "$3" ]; then
    echo "FAIL: $1 differ between the manual (<) and --help (>):"
    diff <(echo "$2") <(echo "$3") | grep '^[<>]'
    failed=1
  else
    echo "ok: $1: $(echo "$2" | tr '\n' ' ')"
  fi
}

declare -A programs=(
  [q9-updater-cli]=$build/cli/q9-updater-cli
  [q9-updater]=$build/app/qt/q9-updater
  [q9-virtual-device]=$build/q9-virtual-device
)
for page in "${!programs[@]}"; do
  program=${programs[$page]}
  if [ ! -x "$program" ]; then
    echo "skipped: $page is not built"
    continue
  fi
  help=$("$program" --help)
  if [ "$page" = q9-updater-cli ]; then
    # Each command's own --help too, for options added there.
    for command in $(echo "$help" | help_section "Commands:"); do
      help+=$'\n\n'$("$program" "$command" --help)
    done
  fi
  compare "$page options" "$(man_options "$page")" "$(echo "$help" | help_options)"
  if [ "$page" = q9-updater-cli ]; then
    compare "$page commands" "$(man_items "$page" CMD | sort -u)" "$(echo "$help" | help_section "Commands:")"
    compare "$page exit statuses" "$(man_items "$page" EXIT | sort -u)" "$(echo "$help" | help_section "Exit status:")"
    compare "$page virtual device settings" "$(man_items "$page" SET | sort -u)" \
      "$(echo "$help" | help_section "Virtual device settings")"
  fi

  rendered=$build/packaging/man/$page.1
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$rendered" 2>&1 >/dev/null)
  if [ ! -s "$rendered" ] || [ -n "$warnings" ]; then
    echo "FAIL: $rendered does not render cleanly: $warnings"
    failed=1
  fi
done
exit $failed
