#!/usr/bin/env bash
# Installs everything vorn needs to build and test on Debian 12.
# Idempotent: when every package is present it only checks and prints nothing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config libgtest-dev libgmock-dev
  libfmt-dev libspdlog-dev
  libboost1.81-dev libboost-filesystem1.81-dev libboost-system1.81-dev
  libicu-dev liblz4-dev libreadline-dev libpq-dev liburing-dev
  postgresql-15 postgresql-client-15 postgresql-contrib
  clang libclang-rt-14-dev clang-format gdb tmux
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq </dev/null >/dev/null
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
fi

# Debian starts a cluster when postgresql-15 is installed; tests run their own servers,
# so the packaged one is not needed. It is left alone if it already runs.
exit 0
