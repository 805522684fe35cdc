#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need.
# Does nothing (and needs no network) when every package is already present.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libsqlite3-dev libapr1-dev libaprutil1-dev libxmlrpc-core-c3-dev
  apache2 apache2-dev libssl-dev unixodbc-dev libldap2-dev libcgicc-dev
  libgtest-dev
  sqlite3 openssl python3 apache2-utils wrk
  chromium samba samba-dsdb-modules samba-ad-provision
  postgresql odbc-postgresql unixodbc
  samba samba-ad-provision samba-dsdb-modules samba-vfs-modules winbind ldap-utils krb5-user ldb-tools
)

# The browser tests need node and npm; a node that came with its own npm is
# kept as it is.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
# `make fuzz` (scripts/deps.sh fuzz) also needs clang and its libFuzzer.
if [ "${1:-}" = fuzz ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "deps: missing packages and not root; run: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || true
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# playwright-core (it drives the system's chromium; no browser download)
# into the tree's own ignored folder tests/browser/node_modules.
browser_dir="$(cd "$(dirname "$0")/.." && pwd)/tests/browser"
if [ ! -f "$browser_dir/node_modules/playwright-core/package.json" ]; then
  echo "deps: installing playwright-core into tests/browser/node_modules"
  (cd "$browser_dir" && npm install --no-audit --no-fund --ignore-scripts --no-package-lock >/dev/null)
fi
