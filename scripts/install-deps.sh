#!/usr/bin/env bash
# Installs the Debian packages zel builds, tests and demonstrates with; installs only what is missing.
# With --test-peers also the mail peers the tests and benchmarks talk to (dovecot-pop3d, fetchmail),
# under a policy-rc.d that refuses every service start, so no system service is left running.
set -euo pipefail
packages=(build-essential cmake pkg-config clang-format openssl ca-certificates
          libexpat1-dev zlib1g-dev libssl-dev libsystemd-dev systemd
          libgtest-dev libgmock-dev libbenchmark-dev
          libkrb5-dev gss-ntlmssp gss-ntlmssp-dev squid tinyproxy apache2-utils libcpp-httplib-dev)
peers=(dovecot-pop3d fetchmail curl python3 swaks python3-aiosmtpd)
[ "${1:-}" = "--test-peers" ] && packages+=("${peers[@]}")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # While installing, every service start is refused (exit 101); the policy in place before is restored.
  policy=/usr/sbin/policy-rc.d
  saved=$(mktemp)
  had_policy=0
  [ -e $policy ] && { cp -p $policy "$saved"; had_policy=1; }
  restore() { if [ $had_policy = 1 ]; then cp -p "$saved" $policy; else rm -f $policy; fi; rm -f "$saved"; }
  trap restore EXIT
  printf '#!/bin/sh\nexit 101\n' > $policy
  chmod 755 $policy
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi
