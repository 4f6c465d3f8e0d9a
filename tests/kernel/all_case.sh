# Sourced by the kernel cases: `q9-updater-cli update --all` on four USB
# MIDI gadgets at once, each with the virtual ARKO Q9 on its end and a flash
# file of its own.  Needs gadgets q9a to q9d plugged in (gadget.sh),
# devices.sh, $cli, $work and $OUT.
#
#   all_case TAG     logs under $OUT/TAG*; a failure sets failed=1
ALL_GADGETS=(q9a q9b q9c q9d)
ALL_NAMES=("ARKO Q9" "ARKO Q9 (2)" "ARKO Q9 (3)" "ARKO Q9 (4)")

all_case() {
  local tag=$1 g name status t0
  for g in "${ALL_GADGETS[@]}"; do
    rm -f "$work/$tag-$g.flash"
    start_device "$g" "$tag" "flash=$work/$tag-$g.flash"
  done
  t0=$(now)
  "$cli" update --all >"$OUT/$tag.log" 2>&1
  status=$?
  echo "$tag: update --all ended with exit $status after $(seconds "$t0" "$(now)") s"
  for g in "${ALL_GADGETS[@]}"; do
    stop_device "$g"
    cmp -s "$work/$tag-$g.flash" "$work/expected.bin" || fail "$tag: the flash behind gadget $g differs from the plan's"
  done
  [ "$status" = 0 ] || fail "$tag: exit status $status: $(tail -n 8 "$OUT/$tag.log")"
  # The summary: one row per device, under the names --all pairs by.
  for name in "${ALL_NAMES[@]}"; do
    grep -q "^$name  *updated  " "$OUT/$tag.log" || fail "$tag: \"$name\" is not in the summary as updated"
  done
  [ "$(grep -c '^ARKO Q9.*  updated  ' "$OUT/$tag.log")" = 4 ] ||
    fail "$tag: the summary does not list four devices updated: $(grep -A 6 '^DEVICE' "$OUT/$tag.log")"
  grep -q "SYSTEM:.*1.20 -> 1.20" "$OUT/$tag.log" || fail "$tag: no version report"
}
