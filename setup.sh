#!/usr/bin/env bash
# Installs every build, test and benchmark dependency on a Debian 12 machine (run as root).
# Idempotent: when everything is present it changes nothing and prints nothing.
set -euo pipefail

# One package a line, so that additions never collide.
packages=(
  build-essential
  cmake
  pkg-config
  git
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libssl-dev
  clang
  libclang-rt-14-dev
  libcli11-dev
  libcpp-httplib-dev
  libboost-dev
  libtomlplusplus-dev
  skopeo
  wrk
  libcrypt-dev
  openssl
  apache2-utils
  nginx
  glusterfs-server
  glusterfs-client
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive DEBCONF_NOWARNINGS=yes
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# yyjson: the system's own package where its suite has one; otherwise the one from the
# next Debian release, fetched through a private apt list so the machine's suite stays as it is.
if ! dpkg-query -W -f='${Status}' libyyjson-dev 2>/dev/null | grep -q 'install ok installed'; then
  export DEBIAN_FRONTEND=noninteractive DEBCONF_NOWARNINGS=yes
  if apt-cache show libyyjson-dev >/dev/null 2>&1; then
    apt-get install -y -qq libyyjson-dev >/dev/null
  else
    uri=""
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      uri=$(awk '/^URIs:/ && $2 !~ /security/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
    fi
    if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
      uri=$(awk '$1 == "deb" && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' /etc/apt/sources.list)
    fi
    [ -n "$uri" ] || { echo "setup: no Debian mirror found in the apt sources" >&2; exit 1; }
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/lists/partial"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri trixie main" > "$work/sources.list"
    opts=(-o APT::Sandbox::User=root -o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
          -o "Dir::State::Lists=$work/lists" -o Debug::NoLocking=1)
    apt-get -qq "${opts[@]}" update
    (cd "$work" && apt-get -qq "${opts[@]}" download libyyjson0 libyyjson-dev)
    dpkg -i "$work"/libyyjson0_*.deb "$work"/libyyjson-dev_*.deb >/dev/null
  fi
fi
