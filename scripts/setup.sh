#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine (quick
# when everything is present) and makes the virtual environment .venv from
# Debian's own Python, which carries meson-python, pytest and plyvel.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  g++ meson ninja-build pkg-config python3-dev python3-venv python3-pip
  python3-mesonpy python3-pytest python3-plyvel
  python3-tqdm  # the progress bar of vostrel dump (optional at run time)
  python3-numpy  # only so the tests can pass numpy's boolean scalar
  python3-dask python3-distributed python3-pandas  # the optional vostrel.dask
  libsnappy-dev libzstd-dev zlib1g-dev libleveldb-dev libgtest-dev libbenchmark-dev
)
if [[ "${VOSTREL_WITH_CLANG:-1}" == 1 ]]; then
  # libFuzzer with C++23: clang 14 lacks std::expected.
  packages+=(clang-19 libclang-rt-19-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [[ ! -x .venv/bin/python ]]; then
  /usr/bin/python3 -m venv --system-site-packages .venv
fi
