#!/bin/sh
# CPU the real program takes at the camera's own rate: the synthetic camera at 768 x 574,
# 25 frames/s, both channels on with one viewer each. Prints the share of one core and the
# CPU per frame, and each thread's share.
# Usage: bench/e2e/cost-at-rate.sh [BUILD_DIR] [SECONDS]
set -eu
build=${1:-build/release}
seconds=${2:-20}
exe=$(cd "$build/bin" && pwd)/lumerix2
view=$(cd "$build/bin" && pwd)/lumerix2-view
dir=$(mktemp -d)
trap 'kill $srv $v1 $v2 2>/dev/null || true; wait 2>/dev/null || true; [ -n "${KEEP:-}" ] && cat "$dir/Lumerix2.log"; rm -rf "$dir"' EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
p1=$(free_port); p2=$(free_port)
# A free ZEFT port offset: the bring-up needs its registration.
offset=$(python3 -c '
import socket
for k in range(30, -1, -1):
    s = socket.socket()
    try:
        s.bind(("0.0.0.0", 32100 + k)); print(k); break
    except OSError: pass
')
ln -s "$exe" "$dir/lumerix2"
printf '[DEFAULT]\nLISTENPORTNUMBER=%s\nLISTENPORTNUMBERLOSSY=%s\nLOSSYENABLED=1\nZEFTCONTROLEQPNAME=BENCH\nZEFTPORTNUMBER=%s\n[SELVEX]\nMandatorySELVEX=0\n' "$p1" "$p2" "$offset" >"$dir/Lumerix2.cfg"
printf '[GlobalSettings]\nType=DirectShow\nDevicePath=synthetic:0\nDeviceVideoMode=0\n' >"$dir/curhardware.cfg"
QT_QPA_PLATFORM=offscreen "$dir/lumerix2" /a >/dev/null 2>&1 &
srv=$!
sleep 4
"$view" "127.0.0.1:$p1" --count 100000 --timeout 30 >/dev/null 2>&1 &
v1=$!
"$view" "127.0.0.1:$p2" --count 100000 --timeout 30 >/dev/null 2>&1 &
v2=$!
sleep 3
ticks() { awk '{print $14 + $15}' "$1"; }
hz=$(getconf CLK_TCK)
before=$(ticks /proc/$srv/stat)
for t in /proc/$srv/task/*; do echo "$(basename "$t") $(ticks "$t/stat") $(cat "$t/comm")"; done >"$dir/t0"
f0=$(grep -o 'frames [0-9]*' "$dir/Lumerix2.log" | tail -1 || true)
sleep "$seconds"
after=$(ticks /proc/$srv/stat)
for t in /proc/$srv/task/*; do echo "$(basename "$t") $(ticks "$t/stat") $(cat "$t/comm")"; done >"$dir/t1"
awk -v s="$seconds" -v hz="$hz" -v b="$before" -v a="$after" 'BEGIN {
    cpu = (a - b) / hz; printf "server: %.1f %% of a core, %.2f ms CPU per frame at 25 frames/s\n", 100 * cpu / s, 1000 * cpu / (25 * s) }'
join "$dir/t0" "$dir/t1" | awk -v s="$seconds" -v hz="$hz" '{ d = ($4 - $2) / hz; if (d > 0) printf "  %-16s %5.1f %%\n", $3, 100 * d / s }'
