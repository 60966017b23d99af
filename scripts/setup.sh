#!/usr/bin/env bash
# Installs whatever is missing for building and testing, then builds the package into .venv.
# Safe to run again: it installs only what is absent.
set -euo pipefail
cd "$(dirname "$0")/.."

# clang builds the libFuzzer targets (scripts/fuzz.sh).
apt_packages=(g++ cmake ninja-build pkg-config libhdf5-dev nlohmann-json3-dev libgtest-dev clang)
missing=()
for package in "${apt_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing system packages: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
    "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" pytest h5py numpy
# The solver validation (validation/) needs scipy and matplotlib.
.venv/bin/python -m pip install -q scipy matplotlib
.venv/bin/python -m pip install -q --no-build-isolation .
