#!/usr/bin/env bash
# Runs ZU-Dazazi-Zuvareridi against four simulated chips (ZR740A, ZR740C, ZR610A, ZR740A).
#   scripts/demo.sh BUILD_DIR
# Everything the demo writes stays in BUILD_DIR/demo: the simulator's links and received
# images, two sample images, a settings store and a data folder of its own (production record,
# daily logs), so the operator's real configuration, counters and record are never touched.
# Closing the window stops the simulator and prints the yield of the demo's record.
set -euo pipefail

build_dir=${1:-}
if [ -z "$build_dir" ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build_dir=$(cd "$build_dir" && pwd)

app="$build_dir/app/zu-dazazi-zuvareridi"
report="$build_dir/tools/report/zdz-report"
chipsim="$build_dir/tools/chipsim/zdz-chipsim"
for bin in "$app" "$chipsim"; do
    if [ ! -x "$bin" ]; then
        echo "demo: $bin is missing; build the tree first (./run.sh demo does)." >&2
        exit 1
    fi
done

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat >&2 <<'EOF'
demo: no display found (DISPLAY and WAYLAND_DISPLAY are both empty).
The demo opens a window of at least 1000 x 900 pixels. On a machine without a desktop,
run it under a virtual X server with a screen large enough for it:
    xvfb-run -a -s "-screen 0 1280x1024x24" ./run.sh demo
(xvfb-run comes with the Debian package xvfb; plain "xvfb-run -a ./run.sh demo" works too,
but its default 640 x 480 screen shows only part of the window.)
EOF
    exit 1
fi

demo_dir="$build_dir/demo"
links_dir="$demo_dir/links"
out_dir="$demo_dir/chipsim-out"
image_dir="$demo_dir/images"
config_home="$demo_dir/config"
data_home="$demo_dir/data"
record_file="$data_home/Marwenta/ZU-Dazazi-Zuvareridi/records.sqlite"
settings_file="$config_home/Marwenta/ZU-Dazazi-Zuvareridi.conf"
# What the chips received in an earlier demo run is not mixed with this one's.
rm -rf "$links_dir" "$out_dir"
mkdir -p "$links_dir" "$out_dir" "$image_dir" "$(dirname "$settings_file")" "$data_home"

# Two sample firmware images: a 48 KiB application and a 16 KiB data block.
image0="$image_dir/demo_app.bin"
image1="$image_dir/demo_data.bin"
[ -s "$image0" ] || head -c 49152 /dev/urandom >"$image0"
[ -s "$image1" ] || head -c 16384 /dev/urandom >"$image1"

# Counters of earlier demo runs are kept; the configuration is laid out afresh each time.
pass_count=0
fail_count=0
if [ -f "$settings_file" ]; then
    pass_count=$(sed -n 's/^key_pass_count=\([0-9]*\)$/\1/p' "$settings_file" | head -n 1)
    fail_count=$(sed -n 's/^key_fail_count=\([0-9]*\)$/\1/p' "$settings_file" | head -n 1)
fi
cat >"$settings_file" <<EOF
[General]
key_download_mode_index=0
key_baudrate=921600
key_filepath_index_0=$image0
key_startaddr_index_0=00000000
key_filepath_index_1=$image1
key_startaddr_index_1=00080000
key_pass_count=${pass_count:-0}
key_fail_count=${fail_count:-0}
EOF

sim_log="$demo_dir/chipsim.log"
sim_pid=""
# shellcheck disable=SC2317  # runs from the EXIT trap
stop_simulator() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
}
trap stop_simulator EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The simulator reads control commands on its standard input; the demo sends none.
"$chipsim" --chips 4 --dir "$links_dir" --out "$out_dir" --throttle \
    --families ZR740A,ZR740C,ZR610A,ZR740A </dev/null >"$sim_log" 2>&1 &
sim_pid=$!

for _ in $(seq 1 100); do
    grep -qx READY "$sim_log" && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        echo "demo: the chip simulator stopped before it was ready:" >&2
        cat "$sim_log" >&2
        exit 1
    fi
    sleep 0.1
done
if ! grep -qx READY "$sim_log"; then
    echo "demo: the chip simulator did not get ready; its output:" >&2
    cat "$sim_log" >&2
    exit 1
fi

ports=$(awk 'NF == 3 && $1 ~ /^[0-9]+$/ { print $2 }' "$sim_log" | paste -sd: -)

echo "Simulated chips (their links are listed as serial ports in the window):"
awk 'NF == 3 && $1 ~ /^[0-9]+$/ { printf "  %-60s %s\n", $2, $3 }' "$sim_log"
echo "Images: $image0 at 0x00000000, $image1 at 0x00080000; line speed 921600."
echo "Open the four ports in the list, then press Start (or Enter). Close the window to end."
echo "Every run is recorded in $record_file (Edit -> Production Record)."

export XDG_CONFIG_HOME="$config_home"
export XDG_DATA_HOME="$data_home"
export ZDZ_EXTRA_PORTS="$ports"
status=0
"$app" || status=$?
if [ -f "$record_file" ] && [ -x "$report" ]; then
    echo "Yield per station of the demo's record ($report $record_file --by station):"
    "$report" "$record_file" --by station || true
fi
exit "$status"
