# Sourced by the kernel cases: USB MIDI gadgets named "ARKO Q9" on dummy_hcd,
# which snd-usb-audio binds as it binds the real device.
#
#   load_modules N        dummy_hcd with N controllers, the gadget MIDI
#                         function, snd-usb-audio
#   gadget_add NAME N     a gadget on controller N-1 (dummy_udc.N-1) whose
#                         MIDI function makes the card with id NAME (the
#                         device's end); waits until the host's card is there
#   gadget_unplug NAME    a USB disconnect; gadget_plug NAME connects again
GADGETS=/sys/kernel/config/usb_gadget

load_modules() {
  modprobe -d "$KERNEL_ROOT" dummy_hcd num="$1" &&
    modprobe -d "$KERNEL_ROOT" libcomposite &&
    modprobe -d "$KERNEL_ROOT" usb_f_midi &&
    modprobe -d "$KERNEL_ROOT" snd-usb-audio &&
    modprobe -d "$KERNEL_ROOT" snd-rawmidi
}

wait_cards() {   # COUNT: until that many host cards exist (30 s)
  local i
  for i in $(seq 300); do
    [ "$(grep -c 'ARKO Q9' /proc/asound/cards)" -ge $(($1 * 2)) ] && return 0
    sleep 0.1
  done
  echo "no host card after 30 s:"; cat /proc/asound/cards
  return 1
}

gadget_add() {
  local g=$GADGETS/$1
  mkdir -p "$g/strings/0x409" "$g/configs/c.1/strings/0x409" "$g/functions/midi.$1" || return 1
  echo 0x1d6b >"$g/idVendor"
  echo 0x0104 >"$g/idProduct"
  echo ARKO >"$g/strings/0x409/manufacturer"
  echo "ARKO Q9" >"$g/strings/0x409/product"
  echo "Q9-$1" >"$g/strings/0x409/serialnumber"
  echo "MIDI" >"$g/configs/c.1/strings/0x409/configuration"
  echo "$1" >"$g/functions/midi.$1/id"
  ln -s "$g/functions/midi.$1" "$g/configs/c.1/" || return 1
  echo "dummy_udc.$(($2 - 1))" >"$g/UDC" && echo "dummy_udc.$(($2 - 1))" >"/run/q9-udc-$1"
}

gadget_unplug() { echo "" >"$GADGETS/$1/UDC"; }
gadget_plug() { cat "/run/q9-udc-$1" >"$GADGETS/$1/UDC"; }
