#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake g++ pkg-config
  libc6-dev       # iconv: the charsets of encoded words in subjects (learned scoring)
  libssl-dev openssl
  libre2-dev      # the multi-pattern rule matcher
  flex libfl-dev bison
  libgtest-dev libbenchmark-dev
  dovecot-pop3d
  python3
  python3-cryptography   # an expired certificate for the TLS tests
  iproute2        # the whole-run benchmark's slow link: network namespaces and netem
  mandoc
  dpkg-dev file   # cpack finds the package's library dependencies with these
  clang libclang-rt-14-dev   # the libFuzzer harnesses (scripts/fuzz.sh)
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "pollensift setup: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # Dovecot's package would start a system-wide server; keep it from doing so.
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
