# SPDX-License-Identifier: GPL-2.0-or-later
# usbdev.sh -- bash functions that write USB devices in umockdev's recording format
#
# Sourced by gen-tree and make-scenarios; everything is written to standard output.
# The entries follow the structure of usbkbd.umockdev (umockdev project, devices/,
# LGPL-2.1-or-later; copy in ../recordings/): a PCI host controller, its root hub usbN,
# and for every device its usb_device entry (P:, N: with the descriptors, E:, A:, H:, L:)
# followed by its usb_interface entry N-P:1.0. The whole file uses no command substitution,
# so that writing a few hundred devices takes a fraction of a second.
#
# Attribute values (A:) are escaped like umockdev-record does (g_strescape: \n, \t, \\,
# \NNN octal for other control and non-ASCII bytes); callers pass serial, product and
# manufacturer texts already escaped. Text attributes carry no trailing newline, as in the
# real recordings; the numeric busnum and devnum carry it.

UD_KERNEL="6.1.0-13-amd64"
UD_KERNEL_BCD=$((0x0601))

# PCI slots of the host controllers of buses 1..8 (EHCI functions of an Intel chipset).
UD_SLOTS=(none 0000:00:1a.0 0000:00:1d.0 0000:00:1a.1 0000:00:1d.1 0000:00:1a.2 0000:00:1d.2 0000:00:1a.3 0000:00:1d.3)
UD_PCIDEV=(none 3b3c 3b34 3b3d 3b35 3b3e 3b36 3b3f 3b37)

# Sets UD_DOTS to DEPTH copies of "../".
ud_dots() {
  UD_DOTS=
  local i
  for ((i = 0; i < $1; i++)); do UD_DOTS+=../; done
}

# Sets the sysfs path UD_PATH of device NAME (usbN, N-P, N-P.Q...) on its bus's controller.
ud_path() {
  local name=$1 bus rest acc part
  if [[ $name == usb* ]]; then
    bus=${name#usb}
    UD_PATH=/devices/pci0000:00/${UD_SLOTS[bus]}/usb$bus
    return
  fi
  bus=${name%%-*}
  rest=${name#*-}
  UD_PATH=/devices/pci0000:00/${UD_SLOTS[bus]}/usb$bus
  acc=$bus-
  local IFS=.
  local first=1
  for part in $rest; do
    if ((first)); then acc+=$part; first=0; else acc+=.$part; fi
    UD_PATH+=/$acc
  done
}

# Writes the PCI host controller of bus BUS.
ud_pci() {
  local bus=$1 slot=${UD_SLOTS[$1]} dev=${UD_PCIDEV[$1]} DEV
  DEV=${dev^^}
  printf '%s\n' \
    "P: /devices/pci0000:00/$slot" \
    "E: DRIVER=ehci-pci" \
    "E: ID_PCI_CLASS_FROM_DATABASE=Serial bus controller" \
    "E: ID_PCI_INTERFACE_FROM_DATABASE=EHCI" \
    "E: ID_PCI_SUBCLASS_FROM_DATABASE=USB controller" \
    "E: ID_VENDOR_FROM_DATABASE=Intel Corporation" \
    "E: MODALIAS=pci:v00008086d0000${DEV}sv000017AAsd00002163bc0Csc03i20" \
    "E: PCI_CLASS=C0320" \
    "E: PCI_ID=8086:$DEV" \
    "E: PCI_SLOT_NAME=$slot" \
    "E: PCI_SUBSYS_ID=17AA:2163" \
    "E: SUBSYSTEM=pci" \
    "A: class=0x0c0320" \
    "H: config=8680${DEV:2:2}${DEV:0:2}060190020620030C00000000008072F2000000000000000000000000000000000000000000000000AA1763210000000050000000000000000B040000" \
    "A: device=0x$dev" \
    "L: driver=../../../bus/pci/drivers/ehci-pci" \
    "A: irq=$((22 + bus))" \
    "A: modalias=pci:v00008086d0000${DEV}sv000017AAsd00002163bc0Csc03i20" \
    "A: subsystem_device=0x2163" \
    "A: subsystem_vendor=0x17aa" \
    "A: vendor=0x8086" \
    ""
}

# Selects the device kind KIND [PRODUCT-ID]: sets the identifiers, strings, speed and the
# interface (class, driver, class and endpoint descriptors in hex) of the device.
ud_kind() {
  UD_CLASS=0 UD_SUB=0 UD_PROTO=0 UD_USB=$((0x0200)) UD_MPS0=64 UD_SPEED=480 UD_VER=" 2.00"
  UD_ICLASS=0 UD_ISUB=0 UD_IPROTO=0 UD_IDRV='' UD_IEXTRA='' UD_NEP=1 UD_CATTR=e0 UD_POWER=0
  UD_HUB=0
  case $1 in
  dhub | hub | dhub0i)
    if [[ $1 == hub ]]; then
      UD_VID=$((0x0409)) UD_PID=$((0x0058)) UD_MANUF="NEC Corporation" UD_PRODUCT="USB2.0 Hub Controller"
    else
      UD_VID=$((0x04b3)) UD_PID=$((0x4675)) UD_MANUF="IBM" UD_PRODUCT="Display Hub"
    fi
    UD_CLASS=9 UD_PROTO=1 UD_ICLASS=9 UD_IDRV=hub UD_HUB=1 UD_POWER=50
    [[ $1 == dhub0i ]] && UD_CLASS=0 UD_PROTO=0
    # Status-change endpoint: one bit per port plus the hub's own bit.
    local ep=$(((${UD_MAXCHILD:-4} + 8) / 8))
    printf -v UD_IEXTRA '07058103%02X000C' "$ep" ;;
  dhub0)
    UD_VID=$((0x04b3)) UD_PID=$((0x4675)) UD_MANUF="IBM" UD_PRODUCT="Display Hub"
    UD_ICLASS=255 UD_POWER=50 UD_IEXTRA=07058103080010 ;;
  elo)
    UD_VID=$((0x04e7)) UD_PID=$((0x$2)) UD_MANUF="Elo TouchSystems"
    case $2 in
    0009) UD_PRODUCT="CarrollTouch 4000U Touchmonitor Interface" ;;
    0030) UD_PRODUCT="CarrollTouch 4500U Touchmonitor Interface" ;;
    *) UD_PRODUCT="Elo TouchSystems Touchmonitor Interface $2" ;;
    esac
    UD_USB=$((0x0110)) UD_MPS0=8 UD_SPEED=12 UD_VER=" 1.10" UD_CATTR=a0 UD_POWER=50
    UD_ICLASS=3 UD_IDRV=usbhid UD_IEXTRA=092110010001229C00070581030800 UD_IEXTRA+=0A ;;
  dxa)
    UD_VID=$((0x04b3)) UD_PID=$((0x$2)) UD_MANUF="IBM" UD_PRODUCT="Display Hub Peripheral DXA"
    UD_USB=$((0x0110)) UD_MPS0=8 UD_SPEED=12 UD_VER=" 1.10" UD_CATTR=a0 UD_POWER=50
    UD_ICLASS=3 UD_IDRV=usbhid UD_IEXTRA=09211001000122410007058103080010 ;;
  dxb | ibm)
    UD_VID=$((0x04b3)) UD_PID=$((0x$2)) UD_MANUF="IBM"
    if [[ $1 == dxb ]]; then UD_PRODUCT="Display Hub Peripheral DXB"; else UD_PRODUCT="USB Device $2"; fi
    UD_USB=$((0x0110)) UD_MPS0=8 UD_SPEED=12 UD_VER=" 1.10" UD_CATTR=80 UD_POWER=100
    UD_ICLASS=255 UD_ISUB=255 UD_IPROTO=255 UD_NEP=2 UD_IEXTRA=07058102400000070502024000 UD_IEXTRA+=00 ;;
  mouse)
    UD_VID=$((0x046d)) UD_PID=$((0xc077)) UD_MANUF="Logitech" UD_PRODUCT="USB Optical Mouse"
    UD_MPS0=8 UD_SPEED=1.5 UD_CATTR=a0 UD_POWER=50
    UD_ICLASS=3 UD_ISUB=1 UD_IPROTO=2 UD_IDRV=usbhid UD_IEXTRA=0921110100012243000705810304000A ;;
  *)
    echo "usbdev.sh: unknown device kind '$1'" >&2
    return 1 ;;
  esac
}

# Writes the lean form of a usb_device entry (UD_LEAN=1): only what libusb, libudev, lsusb and
# usbsim read, and no interface entry; umockdev loads it several times faster. Arguments: PATH
# BUS DEVNUM DEVPATH DESCRIPTORS VID PID BCD CLASS(hex) MAXCHILD SPEED MANUF PRODUCT SERIAL
# (empty or '-' strings are left out).
ud_lean() {
  local b3 d3 prod minor=$((($2 - 1) * 128 + $3 - 1))
  printf -v b3 '%03d' "$2"
  printf -v d3 '%03d' "$3"
  printf -v prod '%x/%x/%x' "0x$6" "0x$7" "0x$8"
  printf '%s\n' \
    "P: $1" \
    "N: bus/usb/$b3/$d3=$5" \
    "E: BUSNUM=$b3" \
    "E: DEVNAME=/dev/bus/usb/$b3/$d3" \
    "E: DEVNUM=$d3" \
    "E: DEVTYPE=usb_device" \
    "E: MAJOR=189" \
    "E: MINOR=$minor" \
    "E: PRODUCT=$prod" \
    "E: SUBSYSTEM=usb" \
    "A: bDeviceClass=$9" \
    "A: bNumConfigurations=1" \
    "A: bcdDevice=$8" \
    "A: busnum=$2\\n" \
    "H: descriptors=$5" \
    "A: dev=189:$minor" \
    "A: devnum=$3\\n" \
    "A: devpath=$4" \
    "A: idProduct=$7" \
    "A: idVendor=$6"
  [[ -n ${12} ]] && printf '%s\n' "A: manufacturer=${12}"
  printf '%s\n' "A: maxchild=${10}"
  [[ -n ${13} ]] && printf '%s\n' "A: product=${13}"
  [[ -n ${14} && ${14} != - ]] && printf '%s\n' "A: serial=${14}"
  printf '%s\n' "A: speed=${11}" ""
}

# Writes the entries of one USB device: NAME (sysfs name, e.g. 1-1.3), BUS, DEVNUM, BCD
# (hex), SERIAL ('-' for none: iSerialNumber 0), then KIND and its product id if the kind
# needs one. Set UD_MAXCHILD for hubs (default 4); UD_MANUF_SET/UD_PRODUCT_SET override the
# kind's strings ('-' removes them).
usb_dev() {
  local name=$1 bus=$2 devnum=$3 bcd=$((0x$4)) serial=$5
  shift 5
  ud_kind "$@" || return 1
  [[ -n $UD_MANUF_SET ]] && UD_MANUF=$UD_MANUF_SET
  [[ -n $UD_PRODUCT_SET ]] && UD_PRODUCT=$UD_PRODUCT_SET
  [[ $UD_MANUF == - ]] && UD_MANUF=
  [[ $UD_PRODUCT == - ]] && UD_PRODUCT=
  local maxchild=0
  ((UD_HUB)) && maxchild=${UD_MAXCHILD:-4}
  local iman=0 iprod=0 iser=0
  [[ -n $UD_MANUF ]] && iman=1
  [[ -n $UD_PRODUCT ]] && iprod=2
  [[ $serial != - ]] && iser=3

  local dd cd body total
  printf -v dd '1201%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X01' \
    $((UD_USB & 255)) $((UD_USB >> 8)) "$UD_CLASS" "$UD_SUB" "$UD_PROTO" "$UD_MPS0" \
    $((UD_VID & 255)) $((UD_VID >> 8)) $((UD_PID & 255)) $((UD_PID >> 8)) \
    $((bcd & 255)) $((bcd >> 8)) "$iman" "$iprod" "$iser"
  printf -v body '09040000%02X%02X%02X%02X00%s' "$UD_NEP" "$UD_ICLASS" "$UD_ISUB" "$UD_IPROTO" "$UD_IEXTRA"
  total=$((9 + ${#body} / 2))
  printf -v cd '0902%02X%02X0101%s%s%02X%s' $((total & 255)) $((total >> 8)) 00 "${UD_CATTR^^}" "$UD_POWER" "$body"
  dd+=$cd
  dd=${dd^^}

  ud_path "$name"
  if ((UD_LEAN)); then
    local lv
    printf -v lv '%04x %04x %04x %02x' "$UD_VID" "$UD_PID" "$bcd" "$UD_CLASS"
    # shellcheck disable=SC2206 # splits printf's hex words, no glob characters
    lv=($lv)
    ud_lean "$UD_PATH" "$bus" "$devnum" "${name#*-}" "$dd" "${lv[0]}" "${lv[1]}" "${lv[2]}" \
      "${lv[3]}" "$maxchild" "$UD_SPEED" "$UD_MANUF" "$UD_PRODUCT" "$serial"
    return
  fi
  local path=$UD_PATH devpath=${name#*-} depth minor=$(((bus - 1) * 128 + devnum - 1))
  local b3 d3 vid pid bcd4 vidx pidx bcdx cls proto ifl f
  printf -v f '%03d %03d %04x %04x %04x %x %x %x %02x %02x :%02x%02x%02x:' "$bus" "$devnum" \
    "$UD_VID" "$UD_PID" "$bcd" "$UD_VID" "$UD_PID" "$bcd" "$UD_CLASS" "$UD_PROTO" \
    "$UD_ICLASS" "$UD_ISUB" "$UD_IPROTO"
  # shellcheck disable=SC2206 # splits printf's words, no glob characters
  f=($f)
  b3=${f[0]} d3=${f[1]} vid=${f[2]} pid=${f[3]} bcd4=${f[4]} vidx=${f[5]} pidx=${f[6]}
  bcdx=${f[7]} cls=${f[8]} proto=${f[9]} ifl=${f[10]}
  local slash=${path//[^\/]/}
  depth=${#slash}
  local ptag=${UD_SLOTS[bus]}-usb-0:$devpath
  local ptag_=${ptag//[:.]/_}
  local m_ser=${UD_MANUF// /_} p_ser=${UD_PRODUCT// /_}
  local m_enc=${UD_MANUF:-$vid} p_enc=${UD_PRODUCT:-$pid}
  m_enc=${m_enc// /\\x20} p_enc=${p_enc// /\\x20}
  [[ -z $m_ser ]] && m_ser=$vid
  [[ -z $p_ser ]] && p_ser=$pid
  local id_serial=${m_ser}_$p_ser
  local LC_ALL=C
  local s_ser=${serial//[^[:alnum:]._-]/_}
  [[ $serial != - ]] && id_serial+=_$s_ser

  ud_dots "$depth"
  local parent_port=${name##*.}
  local parent=${name%.*}
  local portdir=$parent-port$parent_port
  [[ $parent == "$name" ]] && parent=$bus-0 portdir=usb$bus-port${name#*-}

  printf '%s\n' \
    "P: $path" \
    "N: bus/usb/$b3/$d3=$dd" \
    "E: BUSNUM=$b3" \
    "E: DEVNAME=/dev/bus/usb/$b3/$d3" \
    "E: DEVNUM=$d3" \
    "E: DEVTYPE=usb_device" \
    "E: DRIVER=usb" \
    "E: ID_BUS=usb" \
    "E: ID_MODEL=$p_ser" \
    "E: ID_MODEL_ENC=$p_enc" \
    "E: ID_MODEL_ID=$pid" \
    "E: ID_PATH=pci-$ptag" \
    "E: ID_PATH_TAG=pci-$ptag_" \
    "E: ID_REVISION=$bcd4" \
    "E: ID_SERIAL=$id_serial"
  [[ $serial != - ]] && printf '%s\n' "E: ID_SERIAL_SHORT=$s_ser"
  printf '%s\n' \
    "E: ID_USB_INTERFACES=$ifl" \
    "E: ID_VENDOR=$m_ser" \
    "E: ID_VENDOR_ENC=$m_enc" \
    "E: ID_VENDOR_ID=$vid" \
    "E: MAJOR=189" \
    "E: MINOR=$minor" \
    "E: PRODUCT=$vidx/$pidx/$bcdx" \
    "E: SUBSYSTEM=usb" \
    "E: TYPE=$UD_CLASS/$UD_SUB/$UD_PROTO" \
    "A: authorized=1" \
    "A: avoid_reset_quirk=0" \
    "A: bConfigurationValue=1" \
    "A: bDeviceClass=$cls" \
    "A: bDeviceProtocol=$proto" \
    "A: bDeviceSubClass=00" \
    "A: bMaxPacketSize0=$UD_MPS0" \
    "A: bMaxPower=$((UD_POWER * 2))mA" \
    "A: bNumConfigurations=1" \
    "A: bNumInterfaces= 1" \
    "A: bcdDevice=$bcd4" \
    "A: bmAttributes=$UD_CATTR" \
    "A: busnum=$bus\\n" \
    "A: configuration=" \
    "H: descriptors=$dd" \
    "A: dev=189:$minor" \
    "A: devnum=$devnum\\n" \
    "A: devpath=$devpath" \
    "L: driver=${UD_DOTS}bus/usb/drivers/usb" \
    "A: idProduct=$pid" \
    "A: idVendor=$vid" \
    "A: ltm_capable=no"
  [[ -n $UD_MANUF ]] && printf '%s\n' "A: manufacturer=$UD_MANUF"
  printf '%s\n' "A: maxchild=$maxchild" "L: port=../$parent:1.0/$portdir"
  [[ -n $UD_PRODUCT ]] && printf '%s\n' "A: product=$UD_PRODUCT"
  printf '%s\n' "A: quirks=0x0" "A: removable=removable" "A: rx_lanes=1"
  [[ $serial != - ]] && printf '%s\n' "A: serial=$serial"
  printf '%s\n' "A: speed=$UD_SPEED" "A: tx_lanes=1" "A: urbnum=$((devnum * 7 + 12))" "A: version=$UD_VER" ""

  ud_iface "$path" "$name" "$depth" "$vidx" "$pidx" "$bcdx" "$bcd"
}

# Writes interface 0 of the device at sysfs PATH (NAME, DEPTH of PATH, ids as hex).
ud_iface() {
  local path=$1 name=$2 depth=$3 vidx=$4 pidx=$5 bcdx=$6 bcd=$7 alias
  printf -v alias 'usb:v%04Xp%04Xd%04Xdc%02Xdsc%02Xdp%02Xic%02Xisc%02Xip%02Xin00' \
    "$UD_VID" "$UD_PID" "$bcd" "$UD_CLASS" "$UD_SUB" "$UD_PROTO" "$UD_ICLASS" "$UD_ISUB" "$UD_IPROTO"
  local ic is ip ne
  printf -v ic '%02x' "$UD_ICLASS"
  printf -v is '%02x' "$UD_ISUB"
  printf -v ip '%02x' "$UD_IPROTO"
  printf -v ne '%02x' "$UD_NEP"
  ud_dots $((depth + 1))
  printf '%s\n' "P: $path/$name:1.0" "E: DEVTYPE=usb_interface"
  [[ -n $UD_IDRV ]] && printf '%s\n' "E: DRIVER=$UD_IDRV"
  printf '%s\n' \
    "E: INTERFACE=$UD_ICLASS/$UD_ISUB/$UD_IPROTO" \
    "E: MODALIAS=$alias" \
    "E: PRODUCT=$vidx/$pidx/$bcdx" \
    "E: SUBSYSTEM=usb" \
    "E: TYPE=$UD_CLASS/$UD_SUB/$UD_PROTO" \
    "A: bAlternateSetting= 0" \
    "A: bInterfaceClass=$ic" \
    "A: bInterfaceNumber=00" \
    "A: bInterfaceProtocol=$ip" \
    "A: bInterfaceSubClass=$is" \
    "A: bNumEndpoints=$ne"
  [[ -n $UD_IDRV ]] && printf '%s\n' "L: driver=${UD_DOTS}bus/usb/drivers/$UD_IDRV"
  printf '%s\n' "A: modalias=$alias" "A: supports_autosuspend=1" ""
}

# Writes the PCI controller, root hub usbBUS (devnum 1) with MAXCHILD ports and its interface.
# Buses past the eighth get controllers of their own in slots 0000:BB:00.0.
usb_bus() {
  local bus=$1
  if [[ -z ${UD_SLOTS[bus]} ]]; then
    printf -v 'UD_SLOTS[bus]' '0000:%02x:00.0' "$bus"
    UD_PCIDEV[bus]=3b3c
  fi
  local slot=${UD_SLOTS[bus]}
  ((UD_LEAN)) || ud_pci "$bus"
  UD_MAXCHILD=$2 ud_kind hub
  UD_VID=$((0x1d6b)) UD_PID=2 UD_PROTO=0
  local b3 minor=$(((bus - 1) * 128)) dd bcd4
  printf -v b3 '%03d' "$bus"
  printf -v bcd4 '%04x' "$UD_KERNEL_BCD"
  printf -v dd '12010002090000406B1D0200%02X%02X0302010109021900010100E0000904000001090000000705810304000C' \
    $((UD_KERNEL_BCD & 255)) $((UD_KERNEL_BCD >> 8))
  local path=/devices/pci0000:00/$slot/usb$bus
  if ((UD_LEAN)); then
    ud_lean "$path" "$bus" 1 0 "$dd" 1d6b 0002 "$bcd4" 09 "$2" 480 "Linux $UD_KERNEL ehci_hcd" \
      "EHCI Host Controller" "$slot"
    return
  fi
  printf '%s\n' \
    "P: $path" \
    "N: bus/usb/$b3/001=$dd" \
    "E: BUSNUM=$b3" \
    "E: DEVNAME=/dev/bus/usb/$b3/001" \
    "E: DEVNUM=001" \
    "E: DEVTYPE=usb_device" \
    "E: DRIVER=usb" \
    "E: ID_BUS=usb" \
    "E: ID_FOR_SEAT=usb-pci-${slot//[:.]/_}" \
    "E: ID_MODEL=EHCI_Host_Controller" \
    "E: ID_MODEL_ENC=EHCI\\x20Host\\x20Controller" \
    "E: ID_MODEL_FROM_DATABASE=2.0 root hub" \
    "E: ID_MODEL_ID=0002" \
    "E: ID_PATH=pci-$slot" \
    "E: ID_PATH_TAG=pci-${slot//[:.]/_}" \
    "E: ID_REVISION=$bcd4" \
    "E: ID_SERIAL=Linux_${UD_KERNEL}_ehci_hcd_EHCI_Host_Controller_$slot" \
    "E: ID_SERIAL_SHORT=$slot" \
    "E: ID_USB_INTERFACES=:090000:" \
    "E: ID_VENDOR=Linux_${UD_KERNEL}_ehci_hcd" \
    "E: ID_VENDOR_ENC=Linux\\x20${UD_KERNEL}\\x20ehci_hcd" \
    "E: ID_VENDOR_FROM_DATABASE=Linux Foundation" \
    "E: ID_VENDOR_ID=1d6b" \
    "E: MAJOR=189" \
    "E: MINOR=$minor" \
    "E: PRODUCT=1d6b/2/${bcd4#0}" \
    "E: SUBSYSTEM=usb" \
    "E: TAGS=:seat:" \
    "E: TYPE=9/0/0" \
    "A: authorized=1" \
    "A: authorized_default=1" \
    "A: avoid_reset_quirk=0" \
    "A: bConfigurationValue=1" \
    "A: bDeviceClass=09" \
    "A: bDeviceProtocol=00" \
    "A: bDeviceSubClass=00" \
    "A: bMaxPacketSize0=64" \
    "A: bMaxPower=0mA" \
    "A: bNumConfigurations=1" \
    "A: bNumInterfaces= 1" \
    "A: bcdDevice=$bcd4" \
    "A: bmAttributes=e0" \
    "A: busnum=$bus\\n" \
    "A: configuration=" \
    "H: descriptors=$dd" \
    "A: dev=189:$minor" \
    "A: devnum=1\\n" \
    "A: devpath=0" \
    "L: driver=../../../../bus/usb/drivers/usb" \
    "A: idProduct=0002" \
    "A: idVendor=1d6b" \
    "A: ltm_capable=no" \
    "A: manufacturer=Linux $UD_KERNEL ehci_hcd" \
    "A: maxchild=$2" \
    "A: product=EHCI Host Controller" \
    "A: quirks=0x0" \
    "A: removable=unknown" \
    "A: rx_lanes=1" \
    "A: serial=$slot" \
    "A: speed=480" \
    "A: tx_lanes=1" \
    "A: urbnum=26" \
    "A: version= 2.00" \
    ""
  UD_PROTO=0
  ud_iface "$path" "$bus-0" 4 1d6b 2 "${bcd4#0}" "$UD_KERNEL_BCD"
}
