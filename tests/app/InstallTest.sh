#!/bin/sh
# Installs the build into a temporary prefix as an operator would, checks the files a
# camera service needs, the programs' command lines and manual pages, runs the unit's
# helpers and the package's postinst, has systemd check the unit, its sandbox and the
# account file, and builds the Debian package for lintian to judge.
# Usage: InstallTest.sh BUILD_DIR VERSION CPACK
set -eu
build=$1
version=$2
cpack=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

p=$tmp/prefix
cmake --install "$build" --prefix "$p" >/dev/null
for f in bin/lumerix2 bin/lumerix2-view bin/lumerix2-record bin/zeft bin/selvex-sim \
    bin/lumerix2-soak lib/lumerix2/prepare-instance lib/lumerix2/publish-environment; do
    [ -x "$p/$f" ] || fail "$f missing or not executable"
done
for f in share/lumerix2/curhardware.cfg lib/sysusers.d/lumerix2.conf \
    lib/udev/rules.d/60-lumerix2-usb3vision.rules etc/logrotate.d/lumerix2 \
    share/lumerix2/prometheus/lumerix2.rules.yml; do
    [ -f "$p/$f" ] || fail "$f missing"
done

# Every program has its page, prints its usage and version, and refuses a wrong option
# (time-limited: a server started by mistake would otherwise hold the test).
for exe in "$p"/bin/*; do
    name=${exe##*/}
    [ -f "$p/share/man/man1/$name.1.gz" ] || fail "$name has no manual page"
    timeout 20 "$exe" --help >"$tmp/out" 2>&1 || fail "$name --help: status $?"
    grep -qi "usage: *$name" "$tmp/out" || fail "$name --help prints no usage"
    timeout 20 "$exe" --version 2>&1 | grep -qF "$version" || fail "$name --version lacks $version"
    status=0
    timeout 20 "$exe" --no-such-option >"$tmp/out" 2>&1 || status=$?
    [ "$status" = 2 ] || fail "$name --no-such-option: status $status, not 2"
    grep -qi "usage: *$name" "$tmp/out" || fail "$name --no-such-option prints no usage"
done
[ ! -e "$p/bin/Lumerix2.log" ] || fail "an option started the server"
# man reports what it cannot render only as warnings; lintian counts them too.
if command -v man >/dev/null; then
    for page in "$p"/share/man/man1/*.1.gz; do
        out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
            man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
        [ -z "$out" ] || fail "${page##*/}: $out"
    done
fi
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
    DPKG_ROOT=$root sh "$(dirname "$0")/../../dist/systemd/postinst" configure >/dev/null 2>&1 ||
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

# The package a site installs: built as the README says, in a folder of its own.
if command -v dpkg-shlibdeps >/dev/null; then
    (cd "$build" && "$cpack" -G DEB -B "$tmp/pkg") >"$tmp/cpack.log" 2>&1 ||
        fail "cpack: $(cat "$tmp/cpack.log")"
    deb=$(ls "$tmp/pkg"/lumerix2_"$version"_*.deb)
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
    dpkg-deb -c "$deb" >"$tmp/contents"
    for f in usr/bin/lumerix2 usr/share/man/man1/lumerix2.1.gz \
        usr/share/doc/lumerix2/copyright usr/share/doc/lumerix2/changelog.gz \
        etc/logrotate.d/lumerix2 usr/share/lumerix2/prometheus/lumerix2.rules.yml; do
        grep -q " \./$f\$" "$tmp/contents" || fail "package lacks $f"
    done
    dpkg-deb -I "$deb" conffiles | grep -qx /etc/logrotate.d/lumerix2 || fail "rotation not a conffile"
    if command -v lintian >/dev/null; then
        out=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian: $out"
    else
        echo "lintian not found: package not checked"
    fi
else
    echo "dpkg-shlibdeps not found: package not built"
fi
echo "install OK"
