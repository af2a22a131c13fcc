#!/usr/bin/env bash
# Installs the Debian packages zel needs, by purpose, and only those missing:
#   install-deps.sh            what building and running zel (and its demo) need
#   install-deps.sh test       that, plus the test peers and tools
#   install-deps.sh package    that, plus what building and checking the Debian package needs
#   install-deps.sh windows    that, plus the mingw-w64 cross build of zel.exe and Wine to test it
#                              (with a deb-src entry, so that scripts/build-windows.sh can fetch expat's source)
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
windows_packages=(mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
                  libz-mingw-w64-dev wine wine64 dpkg-dev libgtest-dev libgmock-dev)

# Debian's sources of the main suites (not the security suite, whose source files are not always
# served), for apt-get source expat.
add_deb_src() {
  local list=/etc/apt/sources.list.d/zel-deb-src.sources codename
  grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/ && return 0
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s %s-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$codename" "$codename" > "$list"
  apt-get -o DPkg::Lock::Timeout=600 update -qq
}

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
    windows) wanted+=("${windows_packages[@]}"); add_deb_src ;;
    *) echo "install-deps.sh: unknown purpose $purpose (test, package, windows)" >&2; exit 2 ;;
  esac
done
install_guarded "${wanted[@]}"
