#!/bin/sh
# Installs the build into a temporary prefix as an operator would, checks the files a
# camera service needs, runs the unit's helpers and the package's postinst, and has systemd
# check the unit, its sandbox and the account file.
# Usage: InstallTest.sh BUILD_DIR
set -eu
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

p=$tmp/prefix
cmake --install "$build" --prefix "$p" >/dev/null
for f in bin/lumerix2 bin/lumerix2-view bin/zeft bin/selvex-sim lib/lumerix2/prepare-instance \
    lib/lumerix2/publish-environment; do
    [ -x "$p/$f" ] || fail "$f missing or not executable"
done
for f in share/lumerix2/curhardware.cfg lib/sysusers.d/lumerix2.conf \
    lib/udev/rules.d/60-lumerix2-usb3vision.rules; do
    [ -f "$p/$f" ] || fail "$f missing"
done
unit=$p/lib/systemd/system/lumerix2@.service
[ -f "$unit" ] || fail "unit missing"
for line in "ExecStartPre=$p/lib/lumerix2/prepare-instance %i" \
    "ExecStartPre=-+$p/lib/lumerix2/publish-environment" \
    'ExecStart=/var/lib/lumerix2/%i/lumerix2 /a' Restart=on-failure KillSignal=SIGTERM \
    StandardOutput=journal StandardError=journal Environment=QT_QPA_PLATFORM=offscreen \
    Type=notify WatchdogSec=10 User=lumerix2 StateDirectory=lumerix2/%i; do
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

# The privileged start step corrects the line and keeps the others; a file it may not
# write is a failure it reports (the unit goes on without it).
printf 'PATH="/usr/bin"\nLUMERIX2=off\n' >"$tmp/environment"
"$p/lib/lumerix2/publish-environment" "$tmp/environment" || fail "publish-environment"
[ "$(cat "$tmp/environment")" = "$(printf 'PATH="/usr/bin"\nLUMERIX2=on')" ] ||
    fail "environment: $(cat "$tmp/environment")"
if "$p/lib/lumerix2/publish-environment" "$tmp/missing/environment" 2>/dev/null; then
    fail "publish-environment into a missing directory"
fi

# The package's postinst creates the account, member of video, in a root of its own.
root=$tmp/root
mkdir -p "$root/etc" "$root/usr/lib/sysusers.d"
cp "$p/lib/sysusers.d/lumerix2.conf" "$root/usr/lib/sysusers.d/"
if command -v systemd-sysusers >/dev/null; then
    DPKG_ROOT=$root sh "$(dirname "$0")/../../app/systemd/postinst" configure >/dev/null 2>&1 ||
        fail "postinst configure"
    grep -q '^lumerix2:x:[0-9]*:[0-9]*:.*:/usr/sbin/nologin$' "$root/etc/passwd" ||
        fail "no account: $(cat "$root/etc/passwd")"
    grep -q '^video:x:[0-9]*:lumerix2$' "$root/etc/group" || fail "not in video"
else
    echo "systemd-sysusers not found: account file not checked"
fi

# systemd checks the commands exist: the instance's directory is the one prepared above.
if command -v systemd-analyze >/dev/null; then
    sed "s|/var/lib/lumerix2/|$state/|" "$unit" >"$tmp/lumerix2@cam7.service"
    out=$(systemd-analyze verify "$tmp/lumerix2@cam7.service" 2>&1) || fail "verify: $out"
    [ -z "$out" ] || fail "verify: $out"  # a bad key is only a warning
    # The sandbox rates 2.5 ("OK") or better; a worse one fails here.
    out=$(systemd-analyze security --offline=true --threshold=25 "$tmp/lumerix2@cam7.service" 2>&1) ||
        fail "security: $(echo "$out" | grep -v '✓')"
else
    echo "systemd-analyze not found: unit not verified"
fi
echo "install OK"
