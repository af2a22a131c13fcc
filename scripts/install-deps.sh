#!/usr/bin/env bash
# Installs the Debian packages zel builds, tests and demonstrates with; installs only what is missing.
set -euo pipefail
packages=(build-essential cmake pkg-config clang-format openssl ca-certificates
          libexpat1-dev zlib1g-dev libssl-dev libsystemd-dev systemd
          libgtest-dev libgmock-dev libbenchmark-dev
          libkrb5-dev gss-ntlmssp gss-ntlmssp-dev squid tinyproxy apache2-utils libcpp-httplib-dev
          qt6-base-dev qt6-translations-l10n libgl-dev xvfb xauth fonts-dejavu-core dbus python3-dbus python3-gi)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Test peers (tinyproxy, squid, the system bus) are started by the tests themselves: refuse any
  # service start during the installation.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi
