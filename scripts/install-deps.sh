#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test and benchmark Lumerix2.
# Idempotent; runs as root, or through sudo otherwise.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libaravis-dev libusb-1.0-0-dev  # GenICam cameras; aravis-0.8.pc needs libusb-1.0.pc
  qt6-base-dev
  libjpeg62-turbo-dev
  libavcodec-dev libavutil-dev
  libfftw3-dev  # the beam jitter spectrum
  libmicrohttpd-dev libpng-dev  # the embedded web server and its PNG frames; replayed PNG images
  linux-libc-dev
  libsystemd-dev systemd  # readiness and watchdog notifications; the unit checks (systemd-analyze)
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  # The Python client and its tests: Debian's interpreter and modules, no pip downloads
  python3 python3-numpy python3-av python3-pil python3-pytest python3-venv python3-setuptools python3-wheel
  # The live page in a real browser; promtool (only packaged with prometheus) checks /metrics
  chromium chromium-driver python3-selenium prometheus
  dpkg-dev lintian man-db  # the Debian package: dpkg-shlibdeps, its checker, the pages' check
  logrotate  # the package's rotation stanza is tested with the real program
  libhdf5-dev zlib1g-dev          # lumerix2-record; the replay camera reads its files
  libgsl-dev                      # the beam profiles' Gaussian fits (nonlinear least squares)
  hdf5-tools python3-h5py         # its tests read the files back
  python3-silx                    # ... and check them as NeXus readers do (a large package)
  libzmq3-dev cppzmq-dev python3-zmq  # the frame stream for analysis farms; its tests and examples
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
