#!/bin/sh
# Installs the build into a temporary prefix as an operator would, checks the files a
# camera service needs, runs the unit's helper, and has systemd check the unit.
# Usage: InstallTest.sh BUILD_DIR
set -eu
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

p=$tmp/prefix
cmake --install "$build" --prefix "$p" >/dev/null
for f in bin/lumerix2 bin/lumerix2-view bin/lumerix2-record bin/zeft bin/selvex-sim \
    lib/lumerix2/prepare-instance; do
    [ -x "$p/$f" ] || fail "$f missing or not executable"
done
[ -f "$p/share/lumerix2/curhardware.cfg" ] || fail "default hardware description missing"
unit=$p/lib/systemd/system/lumerix2@.service
[ -f "$unit" ] || fail "unit missing"
for line in "ExecStartPre=$p/lib/lumerix2/prepare-instance %i" \
    'ExecStart=/var/lib/lumerix2/%i/lumerix2 /a' Restart=on-failure KillSignal=SIGTERM \
    StandardOutput=journal StandardError=journal Environment=QT_QPA_PLATFORM=offscreen; do
    grep -qxF "$line" "$unit" || fail "unit lacks: $line"
done

# The helper links the program and copies the description once; an edited one stays.
state=$tmp/state
"$p/lib/lumerix2/prepare-instance" cam7 "$state"
[ "$(readlink "$state/cam7/lumerix2")" = "$p/bin/lumerix2" ] || fail "program link"
cmp -s "$state/cam7/curhardware.cfg" "$p/share/lumerix2/curhardware.cfg" || fail "description"
echo edited >"$state/cam7/curhardware.cfg"
"$p/lib/lumerix2/prepare-instance" cam7 "$state"
[ "$(cat "$state/cam7/curhardware.cfg")" = edited ] || fail "description replaced"
if "$p/lib/lumerix2/prepare-instance" ../x "$state" 2>/dev/null; then fail "instance ../x"; fi

# systemd checks the commands exist: the instance's directory is the one prepared above.
if command -v systemd-analyze >/dev/null; then
    sed "s|/var/lib/lumerix2/|$state/|" "$unit" >"$tmp/lumerix2@cam7.service"
    out=$(systemd-analyze verify "$tmp/lumerix2@cam7.service" 2>&1) || fail "verify: $out"
    [ -z "$out" ] || fail "verify: $out"  # a bad key is only a warning
else
    echo "systemd-analyze not found: unit not verified"
fi
echo "install OK"
