# Shared by the rig and its stand-ins. Sourced, never run.
#
# A rig is a STATE directory holding the backing files of its loop devices and
# the file STATE/disks, one line per disk with tab-separated fields:
#   name  role  bus  device  model-text  backing-file
# Which loop devices belong to a rig is always decided from the kernel's
# record of their backing files (/sys/block/loopN/loop/backing_file), never
# from STATE/disks alone: after a detach the kernel may hand the same loop
# number to somebody else.

# The real tools, whatever the caller put first on PATH.
RIG_SYSTEM_PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

rig_real() {
  PATH=$RIG_SYSTEM_PATH command -v "$1"
}

# Splits a tab-separated line into the array RIG_FIELDS; empty fields stay
# (a plain `read` would merge neighbouring tabs).
rig_split_tabs() {
  local rest=$1
  RIG_FIELDS=()
  while [[ $rest == *$'\t'* ]]; do
    RIG_FIELDS+=("${rest%%$'\t'*}")
    rest=${rest#*$'\t'}
  done
  RIG_FIELDS+=("$rest")
}

rig_state_real() {
  realpath -m -- "$1"
}

# Prints the backing file of loop device kernel name $1 (loopN), without the
# " (deleted)" mark the kernel adds once the file is removed. Fails when the
# device is not attached.
rig_backing_file() {
  local f=/sys/block/$1/loop/backing_file
  [[ -r $f ]] || return 1
  local back
  back=$(<"$f") || return 1
  [[ -n $back ]] || return 1
  printf '%s\n' "${back% (deleted)}"
}

# Prints the kernel names (loopN) of the loop devices whose backing file lies
# directly in STATE $1.
rig_owned_loops() {
  local state sys name back
  state=$(rig_state_real "$1")
  for sys in /sys/block/loop*; do
    [[ -e $sys/loop/backing_file ]] || continue
    name=${sys##*/}
    back=$(rig_backing_file "$name") || continue
    [[ ${back%/*} == "$state" ]] && printf '%s\n' "$name"
  done
  return 0
}

# Succeeds when device path $2 is a rig disk of STATE $1 or one of its
# partitions: a loop block device (or a partition of one) whose backing file
# lies in STATE. Otherwise prints why to standard error and fails.
rig_guard() {
  local state=$1 dev=$2 base kname major
  if [[ ! $dev =~ ^/dev/(loop[0-9]+)(p[0-9]+)?$ ]]; then
    echo "rig: refusing $dev: not a loop device or loop partition" >&2
    return 1
  fi
  base=${BASH_REMATCH[1]}
  kname=${dev#/dev/}
  if [[ ! -b $dev || ! -b /dev/$base ]]; then
    echo "rig: refusing $dev: no such block device" >&2
    return 1
  fi
  major=$(stat -L -c %t "/dev/$base")
  if [[ $major != 7 ]]; then
    echo "rig: refusing $dev: /dev/$base is not a loop device (major 0x$major)" >&2
    return 1
  fi
  if [[ $kname != "$base" && ! -e /sys/block/$base/$kname ]]; then
    echo "rig: refusing $dev: not a partition of /dev/$base" >&2
    return 1
  fi
  local back state
  if ! back=$(rig_backing_file "$base"); then
    echo "rig: refusing $dev: /dev/$base is not attached" >&2
    return 1
  fi
  state=$(rig_state_real "$state")
  if [[ ${back%/*} != "$state" ]]; then
    echo "rig: refusing $dev: its backing file $back is not in $state" >&2
    return 1
  fi
  return 0
}

# Reads STATE/disks into parallel arrays RIG_NAMES, RIG_ROLES, RIG_BUSES,
# RIG_DEVICES, RIG_MODELS, keeping only disks whose device still belongs to
# the rig.
rig_load_disks() {
  local state=$1 line
  RIG_NAMES=() RIG_ROLES=() RIG_BUSES=() RIG_DEVICES=() RIG_MODELS=()
  [[ -n $state && -r $state/disks ]] || return 0
  while IFS= read -r line || [[ -n $line ]]; do
    [[ -n $line ]] || continue
    rig_split_tabs "$line"
    [[ ${#RIG_FIELDS[@]} -ge 6 ]] || continue
    rig_guard "$state" "${RIG_FIELDS[3]}" 2>/dev/null || continue
    RIG_NAMES+=("${RIG_FIELDS[0]}")
    RIG_ROLES+=("${RIG_FIELDS[1]}")
    RIG_BUSES+=("${RIG_FIELDS[2]}")
    RIG_DEVICES+=("${RIG_FIELDS[3]}")
    RIG_MODELS+=("${RIG_FIELDS[4]}")
  done <"$state/disks"
}

# Index into the RIG_* arrays of the rig disk with kernel name $1 (loopN), or
# of the disk that partition $1 (loopNpK) lies on. Prints the index; fails
# when neither.
rig_disk_index_of_kname() {
  local kname=$1 i disk
  for i in "${!RIG_DEVICES[@]}"; do
    disk=${RIG_DEVICES[$i]#/dev/}
    if [[ $kname == "$disk" || $kname =~ ^${disk}p[0-9]+$ ]]; then
      printf '%s\n' "$i"
      return 0
    fi
  done
  return 1
}
