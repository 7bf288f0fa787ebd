#!/usr/bin/env bash
# Installs what building, testing and running Tavrel need on Debian 12, and
# the packages named as arguments (a script's own tools: a cross compiler, a
# fuzzer). Packages already present are left alone, so a second run costs
# nothing.
#
#   scripts/setup.sh [PACKAGE...]
set -euo pipefail

packages=(cmake g++ make pkg-config libgtest-dev libstb-dev zlib1g-dev qt6-base-dev libgl-dev
  libcli11-dev nlohmann-json3-dev slurm-wlm munge pybind11-dev python3-dev python3-numpy
  python3-pytest "$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
