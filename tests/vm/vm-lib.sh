# Virtual machines booted from the restore stick, for the tests and the demo.
# Sourced by bash scripts; every file of a machine lives in its STATE folder:
#   qemu.pid     QEMU's process id      serial.log   the serial console
#   port         the host port that reaches the agent (127.0.0.1 only)
#   accel        the accelerator it runs with
#
#   vm_start STATE IMAGE [QEMU ARGS...]   boot IMAGE as the USB stick booted from
#   vm_wait_serial STATE REGEX SECONDS     wait for a serial console line
#   vm_wait_exit STATE SECONDS             wait for the machine to power off
#   vm_stop STATE                          end QEMU if it still runs
#   vm_port                                a free TCP port on 127.0.0.1
#   vm_disk ID FILE [DEVICE ARGS]          QEMU arguments for one test disk
#
# Disks are files in STATE; the machine never sees a host device.

VM_MEMORY_MIB=${VM_MEMORY_MIB:-1536}

vm_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# QEMU arguments for disk FILE: $2 the device model and its options, e.g.
#   vm_disk nvme1 "$f" nvme,serial=RA-NVME-512
vm_disk() {
  local id=$1 file=$2 device=$3
  printf '%s\n' -drive "if=none,id=$id,file=$file,format=raw,cache=writeback" -device "$device,drive=$id"
}

# The QEMU pid of STATE when that process is still QEMU running STATE's log.
vm_pid() {
  local state=$1 pid command
  pid=$(cat "$state/qemu.pid" 2>/dev/null) || return 1
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  command=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null) || return 1
  [[ $command == *qemu-system-x86_64* && $command == *"$state/serial.log"* ]] || return 1
  echo "$pid"
}

vm_wait_serial() {
  local state=$1 regex=$2 seconds=$3 i
  for ((i = 0; i < seconds * 2; i++)); do
    grep -a -q -E "$regex" "$state/serial.log" 2>/dev/null && return 0
    vm_pid "$state" >/dev/null || return 1
    sleep 0.5
  done
  return 1
}

# The console line that names the page with the agent's token: every peer
# but the machine itself needs the token, and the host reaches the agent
# through QEMU's forwarding, from a guest address other than loopback.
vm_console_line='Open http://[^ ]+:12209/\?token=[A-Za-z0-9_-]+'

# The token the machine showed on its serial console.
vm_console_token() {
  grep -a -o -m1 -E "$vm_console_line" "$1/serial.log" | tr -d '\r' | sed 's/.*?token=//'
}

vm_wait_exit() {
  local state=$1 seconds=$2 i
  for ((i = 0; i < seconds * 2; i++)); do
    vm_pid "$state" >/dev/null || return 0
    sleep 0.5
  done
  return 1
}

vm_stop() {
  local state=$1 pid
  pid=$(vm_pid "$state") || return 0
  kill -TERM "$pid" 2>/dev/null
  vm_wait_exit "$state" 10 && return 0
  kill -KILL "$pid" 2>/dev/null
  vm_wait_exit "$state" 10
}

# Starts QEMU in the background with accelerator $1 (kvm or tcg).
vm_launch() {
  local state=$1 accel=$2 image=$3
  shift 3
  local accel_args=(-accel kvm -cpu host)
  [[ $accel == kvm ]] || accel_args=(-accel tcg,thread=multi -cpu max)
  : >"$state/serial.log"
  rm -f "$state/qemu.pid"
  # q35: SATA on AHCI, and no floppy drive that would show up as a disk;
  # -nodefaults: no CD-ROM drive either.
  # The stick is opened read-only underneath (snapshot): the image stays as built.
  qemu-system-x86_64 -nodefaults -machine q35 "${accel_args[@]}" -smp 2 -m "$VM_MEMORY_MIB" -vga std \
    -display none -monitor none -serial "file:$state/serial.log" -no-reboot \
    -netdev "user,id=net0,hostfwd=tcp:127.0.0.1:$(cat "$state/port")-:12209" \
    -device virtio-net-pci,netdev=net0 \
    -device qemu-xhci,id=xhci \
    -drive "if=none,id=stick,file=$image,format=raw,snapshot=on" \
    -device usb-storage,bus=xhci.0,drive=stick,bootindex=0 \
    "$@" -daemonize -pidfile "$state/qemu.pid" >"$state/qemu.log" 2>&1
}

# KVM is used where it really runs this kernel: some hosts offer /dev/kvm
# through a backend on which the kernel hangs right after its real-mode setup.
# So the first boot with KVM must print the kernel's banner soon; otherwise
# the machine starts again under TCG. The verdict is kept in $VM_ACCEL_CACHE.
vm_start() {
  local state=$1 image=$2
  shift 2
  mkdir -p "$state"
  vm_port >"$state/port"
  local accel=tcg
  local cache=${VM_ACCEL_CACHE:-}
  if [[ -n $cache && -s $cache ]]; then
    accel=$(cat "$cache")
  elif [[ -w /dev/kvm ]]; then
    if vm_launch "$state" kvm "$image" "$@" && vm_wait_serial "$state" 'Linux version' 30; then
      accel=kvm
    else
      vm_stop "$state"
    fi
    [[ -z $cache ]] || echo "$accel" >"$cache"
    if [[ $accel == kvm ]]; then
      echo kvm >"$state/accel"
      return 0
    fi
  fi
  echo "$accel" >"$state/accel"
  vm_launch "$state" "$accel" "$image" "$@" || { cat "$state/qemu.log" >&2; return 1; }
}

# QEMU arguments that share folder $1 read-only with the guest's backup
# service (the lab unit of its package mounts the tag restore-agent-lab).
vm_lab_share() {
  printf '%s\n' -virtfs "local,path=$1,mount_tag=restore-agent-lab,security_model=none,readonly=on"
}

# The partition table of a disk or an image file, without what names them.
vm_partition_table() {
  sfdisk -d "$1" | grep -v '^device:\|^label-id:' | sed -E 's#^[^ ]+ : #partition : #'
}

# The backups a machine restores from, made on the host with the test rig:
#   vm_make_backups STATE BUILD_DIR CLIENT PASSWORD
# A source disk (one ext4 partition full of files) is backed up by the
# project's restore tool onto a USB drive and captured into a backup store.
# Leaves in STATE:
#   disks/backup-stick.img   the USB drive's bytes, to attach as a USB stick
#   lab/                     the store and the service password, for the
#                            guest's backup service (vm_lab_share)
#   backup-image             the image's path below the stick's backup folder
#   source.table source-p1.bin   the source's partition table and partition 1
# The rig's loop devices are gone again when it returns. Needs root.
vm_make_backups() {
  local state=$1 build=$2 client=$3 password=$4
  local rig
  rig=$(cd "$(dirname "${BASH_SOURCE[0]}")/../rig" && pwd)/rig
  local stamp=250115-1030 time=1736937000
  local image_rel=$client/${stamp}_Image_E/${stamp}_Image_E_disk0.raw
  local source_disk usb_disk
  # -e does not hold inside a function its caller tests: every step checks.
  (
    "$rig" up "$state/rig" "source:internal:64M:VM Source" "usb:usb:96M:VM Backup Stick" >/dev/null || exit 1
    source_disk=$("$rig" device "$state/rig" source) || exit 1
    usb_disk=$("$rig" device "$state/rig" usb) || exit 1
    "$rig" partition "$state/rig" source <<<$'label: dos\nsize=40M, type=83\n' >/dev/null || exit 1
    "$rig" mkfs "$state/rig" source 1 ext4 VMDATA >/dev/null || exit 1
    "$rig" fill "$state/rig" source 1 >/dev/null || exit 1
    "$rig" partition "$state/rig" usb <<<$'label: dos\nsize=90M, type=7\n' >/dev/null || exit 1
    "$rig" mkfs "$state/rig" usb 1 ntfs BACKUPS >/dev/null || exit 1
    "$rig" mount "$state/rig" usb 1 "$state/usb-mount" >/dev/null || exit 1
    mkdir -p "$(dirname "$state/usb-mount/TarnbyBMR_Backups/$image_rel")" || exit 1
    "$build/companions/restore-tool/keelbackrestoreclient" --create-image --disk "$source_disk" --partition 1 \
      --device-number 0 -o "$state/usb-mount/TarnbyBMR_Backups/$image_rel" >/dev/null || exit 1
    "$rig" umount "$state/rig" "$state/usb-mount" >/dev/null || exit 1
    "$build/companions/backup-service/backup-service" capture --store "$state/lab/store" --client "$client" \
      --disk "$source_disk" --partition 1 --letter E --time "$time" >/dev/null || exit 1
    mkdir -p "$state/lab" || exit 1
    printf '%s' "$password" >"$state/lab/pw.txt" || exit 1
    echo "$image_rel" >"$state/backup-image" || exit 1
    # Read past the page cache: what the loop devices' files hold.
    blockdev --flushbufs "$source_disk" "${source_disk}p1" "$usb_disk" "${usb_disk}p1" || exit 1
    vm_partition_table "$source_disk" >"$state/source.table" || exit 1
    dd if="${source_disk}p1" of="$state/source-p1.bin" bs=1M iflag=direct status=none || exit 1
    mkdir -p "$state/disks" || exit 1
    dd if="$usb_disk" of="$state/disks/backup-stick.img" bs=1M iflag=direct conv=sparse status=none || exit 1
  )
  local status=$?
  "$rig" down "$state/rig" >/dev/null || status=1
  return $status
}
