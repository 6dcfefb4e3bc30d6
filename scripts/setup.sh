#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what building and testing libvontrel needs on Debian: the
# compiler and CMake, GoogleTest, the libraries the tools, bindings and
# checks use, and what building and checking the Debian packages needs. Packages already present are not fetched again.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev libfmt-dev nlohmann-json3-dev libserialport-dev
  # Mains switches through the serial D2XX library: bit-bang mode over libusb.
  libftdi1-dev
  python3 python3-pytest python3-setuptools python3-pip python3-pyvisa python3-pyvisa-py
  python3-pymeasure lxi-tools
  # The Tango device server and its tests.
  libtango-dev python3-tango
  # vontrel serve's VXI-11 (registered with rpcbind) and mDNS announcements;
  # its tests start their own rpcbind, message bus and avahi-daemon.
  libtirpc-dev libavahi-client-dev rpcbind avahi-daemon avahi-utils dbus iproute2 util-linux
  # The web front end's tests drive a real browser.
  chromium chromium-driver python3-selenium
  clang libclang-rt-14-dev valgrind
  # The ABI check against its baseline (scripts/abi-check.sh) and the API
  # reference (the doc target).
  abigail-tools doxygen
  # The Debian packages' build and their test (scripts/deb-test.sh).
  debhelper dh-python help2man lintian systemd
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
