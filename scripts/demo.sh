#!/usr/bin/env bash
# The main job end to end, as a user would do it with the quillon tool, against the quillon-device
# simulator: first over TCP, then over a serial line on a pseudo-terminal. Prints a summary and
# exits 0 only when every step matched.
#
#   scripts/demo.sh [BUILD_DIR]      (make demo builds first and passes build/default)
set -uo pipefail

build=${1:-build/default}
quillon=$build/tools/cli/quillon
device=$build/tools/device/quillon-device
for program in "$quillon" "$device"; do
  if [[ ! -x $program ]]; then
    echo "demo: $program is missing; build first (make build)" >&2
    exit 1
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-demo.XXXXXX")
device_pid=""

stop_device() {
  if [[ -n $device_pid ]]; then
    kill -TERM "$device_pid" 2>/dev/null
    wait "$device_pid" 2>/dev/null
    device_pid=""
  fi
}
cleanup() {
  stop_device
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted" >&2; exit 130' INT TERM

# ---- steps and the summary ----

rows=()
failed=0

now_ms() { date +%s%3N; }

# step NAME LINK COMMAND...: runs the command, records its result and time.
step() {
  local name=$1 link=$2
  shift 2
  printf '\n==> %s (%s)\n' "$name" "$link"
  local start result status
  start=$(now_ms)
  "$@"
  status=$?
  local elapsed=$(( $(now_ms) - start ))
  if [[ $status -eq 0 ]]; then
    result="ok"
  else
    result="FAILED (exit $status)"
    failed=$((failed + 1))
  fi
  rows+=("$(printf '%-24s %-7s %-20s %4d.%01d s' "$name" "$link" "$result" $((elapsed / 1000)) $((elapsed % 1000 / 100)))")
}

summary() {
  printf '\n%-24s %-7s %-20s %8s\n' "step" "link" "result" "time"
  printf '%s\n' "------------------------ ------- -------------------- --------"
  printf '%s\n' "${rows[@]}"
  echo
}

# ---- what the steps do ----

package=$work/package

make_package() {
  mkdir -p "$package"
  # The newer description layout: a marker line, then the device serial and the bdb serial.
  printf 'Use Orbisto above v6.3.4\r\nAB12XY345678\r\nBDB0001\r\n' > "$package/DeviceSet.DST"
  head -c 60000 /dev/urandom > "$package/AB12XY345678.ORI"
  head -c 8000 /dev/urandom > "$package/AB12XY345678.RGF"
  head -c 12000 /dev/urandom > "$package/BDB0001.bdb"
  ls -l "$package"
}

# Where each half keeps its files, and the options that point the tool at the device.
link_dir=""
port_args=()

start_tcp_device() {
  mkdir -p "$work/tcp"
  link_dir=$work/tcp
  port_args=()
  "$device" --state "$link_dir/device-state" --name DEMO-DEVICE1 2> "$link_dir/device.log" &
  device_pid=$!
  "$quillon" status
}

start_serial_device() {
  mkdir -p "$work/serial"
  link_dir=$work/serial
  "$device" --pty --line-rate --state "$link_dir/device-state" --name DEMO-DEVICE1 \
    > "$link_dir/device.out" 2> "$link_dir/device.log" &
  device_pid=$!
  # The simulator prints the path of the port the host opens as its first line.
  local tries=0
  while [[ ! -s $link_dir/device.out ]] && (( tries++ < 100 )); do
    kill -0 "$device_pid" 2>/dev/null || break
    sleep 0.1
  done
  local pty
  pty=$(head -n 1 "$link_dir/device.out")
  if [[ -z $pty ]]; then
    echo "the simulator gave no serial port; its log:" >&2
    cat "$link_dir/device.log" >&2
    return 1
  fi
  port_args=(--serial-port "$pty")
  "$quillon" status "${port_args[@]}"
}

upload() {
  "$quillon" upload "$work/package.zip" --kind 1 "${port_args[@]}"
}

download_and_compare() {
  "$quillon" download "$link_dir/download.zip" "$link_dir/unpacked" --kind 1 "${port_args[@]}" || return
  cmp "$work/package.zip" "$link_dir/download.zip" && diff -r "$package" "$link_dir/unpacked" &&
    echo "the downloaded archive and every unpacked file match the originals"
}

version_round_trip() {
  local value=$1
  "$quillon" version set "$value" --kind 2 "${port_args[@]}" || return
  local read
  read=$("$quillon" version get --kind 2 "${port_args[@]}") || return
  echo "$read"
  [[ $read == "kind 2: version $value" ]]
}

write_record() {
  "$quillon" record "$1" "${port_args[@]}" || return
  grep "name: $1" "$link_dir/device-state/device-record.txt"
}

device_directory() {
  mkdir -p "$link_dir/sets"
  "$quillon" devdir "$link_dir/sets" "${port_args[@]}" || return
  [[ -d $link_dir/sets/$1 ]]
}

# ---- the job ----

echo "quillon demo: working in $work"
step "create package" local make_package
step "check package" local "$quillon" check "$package"
step "pack package" local "$quillon" pack "$package" "$work/package.zip"

step "find device" tcp start_tcp_device
step "upload" tcp upload
step "download, compare" tcp download_and_compare
step "file version" tcp version_round_trip 42
step "device record" tcp write_record DEMO-TCP-001
step "device directory" tcp device_directory DEMO-TCP-001
# The tool listens on TCP too, and a device there would be taken first.
stop_device

step "find device" serial start_serial_device
step "upload" serial upload
step "download, compare" serial download_and_compare
step "file version" serial version_round_trip 43
step "device record" serial write_record DEMO-SER-001
step "device directory" serial device_directory DEMO-SER-001
stop_device

summary
if (( failed > 0 )); then
  for log in "$work"/*/device.log; do
    [[ -f $log ]] || continue
    echo "--- the simulator's log over $(basename "$(dirname "$log")") (last lines) ---" >&2
    tail -n 20 "$log" >&2
  done
  echo "demo: $failed step(s) failed" >&2
  exit 1
fi
echo "demo: every step matched"
