#!/usr/bin/env bash
# Installs the Debian packages zel needs, by purpose, and only those missing:
#   install-deps.sh            what building and running zel (and its demo) need
#   install-deps.sh test       that, plus the test peers and tools
#   install-deps.sh package    that, plus what building and checking the Debian package needs
# Several purposes may be named at once. No install may start a system service: a policy-rc.d
# that refuses every start is in place while apt runs, and removed afterwards.
set -euo pipefail

build_packages=(build-essential cmake pkg-config openssl ca-certificates
                libexpat1-dev zlib1g-dev libssl-dev libsystemd-dev systemd
                libkrb5-dev gss-ntlmssp gss-ntlmssp-dev libcpp-httplib-dev bubblewrap
                qt6-base-dev qt6-translations-l10n libgl-dev)
test_packages=(clang-format libgtest-dev libgmock-dev libbenchmark-dev
               squid tinyproxy apache2-utils dbus-daemon
               xvfb xauth fonts-dejavu-core dbus python3-dbus python3-gi
               dovecot-pop3d fetchmail curl python3 swaks python3-aiosmtpd)
package_packages=(debhelper lintian fakeroot)

# Installs the named packages that are not installed yet, with service starts refused.
install_guarded() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing: ${missing[*]}"
  local policy=/usr/sbin/policy-rc.d own_policy=
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# Written by zel install-deps.sh: no service starts while it installs.\nexit 101\n' > "$policy"
    chmod 755 "$policy"
    own_policy=1
  fi
  export DEBIAN_FRONTEND=noninteractive
  local status=0
  { apt-get -o DPkg::Lock::Timeout=600 update -qq &&
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"; } || status=$?
  [ -z "$own_policy" ] || rm -f "$policy"
  return $status
}

wanted=("${build_packages[@]}")
for purpose in "$@"; do
  case $purpose in
    test) wanted+=("${test_packages[@]}") ;;
    package) wanted+=("${package_packages[@]}") ;;
    *) echo "install-deps.sh: unknown purpose $purpose (test, package)" >&2; exit 2 ;;
  esac
done
install_guarded "${wanted[@]}"
