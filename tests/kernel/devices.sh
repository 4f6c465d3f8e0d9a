# Sourced by the kernel case scripts: the virtual ARKO Q9 on a gadget's
# end, and small helpers.  Needs $vdev and $OUT; sets failed=1 on a failure.
failed=0
fail() { echo "FAIL: $*"; failed=1; }
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
below() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }

# start_device NAME CASE SETTINGS: the virtual ARKO Q9 on gadget NAME's
# end, its log in $OUT/CASE-NAME.log.
declare -A devices logs
start_device() {
  logs[$1]=$OUT/$2-$1.log
  "$vdev" "$3" --alsa-rawmidi "$1" --verbose >"${logs[$1]}" 2>&1 &
  devices[$1]=$!
  await_log "$1" '^ready' 1 || fail "device $1 did not start: $(cat "${logs[$1]}")"
}
# await_log NAME PATTERN COUNT [PID]: until device NAME's log has COUNT
# lines matching PATTERN; false if the device (or process PID) ends first.
await_log() {
  until [ "$(grep -c -- "$2" "${logs[$1]}")" -ge "$3" ]; do
    if ! kill -0 "${devices[$1]}" 2>/dev/null || { [ -n "${4:-}" ] && ! kill -0 "$4" 2>/dev/null; }; then
      [ "$(grep -c -- "$2" "${logs[$1]}")" -ge "$3" ]
      return
    fi
    sleep 0.05
  done
}
# stop_device NAME [any]: ends it (its flash file is written back) and,
# unless "any", checks that no message arrived malformed and its input lost
# nothing.
stop_device() {
  kill -TERM "${devices[$1]}" && wait "${devices[$1]}"
  local summary
  summary=$(grep '^received ' "${logs[$1]}")
  echo "device $1: $summary"
  case $summary in
    *" 0 malformed, 0 bytes lost"*) ;;
    *) [ "${2:-}" = any ] || fail "device $1: $summary" ;;
  esac
}
