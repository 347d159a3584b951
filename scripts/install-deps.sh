#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages that pollensift needs. Safe to run again.
#   scripts/install-deps.sh             everything: building, running, the tests, the package
#                                       checks, the benchmarks, the fuzzers and the demo
#   scripts/install-deps.sh --minimal   only what building, packaging and running need
set -euo pipefail

# Building (a default configure needs GoogleTest, Google Benchmark and Python for the test
# targets it defines, though nothing runs them), making the .deb, and running.
packages=(
  build-essential cmake g++ pkg-config
  libc6-dev       # iconv: the charsets of encoded words in subjects (learned scoring)
  libssl-dev
  libre2-dev      # the multi-pattern rule matcher
  libc-ares-dev   # the DNS block lists' resolver
  flex libfl-dev bison
  libgtest-dev libbenchmark-dev
  python3
  dpkg-dev file   # cpack finds the package's library dependencies with these
  ca-certificates # what TLS servers' certificates are verified against
)
case ${1-} in
  --minimal) ;;
  "")
    packages+=(
      openssl                # the TLS tests make and read their certificates with it
      dovecot-pop3d          # the private POP3 server of the end-to-end tests and the demo
      python3-cryptography   # an expired certificate for the TLS tests
      iproute2        # the whole-run benchmark's slow link: network namespaces and netem
      mandoc          # the manual pages' checks
      lintian         # the Debian package's checks
      clang libclang-rt-14-dev   # the libFuzzer harnesses (scripts/fuzz.sh)
    )
    ;;
  *)
    echo "usage: scripts/install-deps.sh [--minimal]" >&2
    exit 2
    ;;
esac

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
