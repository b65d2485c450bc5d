#!/usr/bin/env bash
# Installs the Debian packages a job needs on a fresh Debian 12 machine (quick
# when everything is present) and makes the virtual environment .venv from
# Debian's own Python, whose packages come from apt.
#   bash scripts/setup.sh run    building and running vostrel (the main job)
#   bash scripts/setup.sh test   that, plus the tests, fuzzers and benchmarks
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:-test}"

# Building and running: a compiler, meson-python and the block codecs.
packages=(
  g++ meson ninja-build pkg-config python3-dev python3-venv python3-pip python3-mesonpy
  libsnappy-dev libzstd-dev zlib1g-dev
)
if [[ "$mode" == test ]]; then
  packages+=(
    python3-pytest
    python3-plyvel libleveldb-dev  # the real library writes the test stores
    libgtest-dev libbenchmark-dev
    python3-tqdm  # the progress bar of vostrel dump (optional at run time)
    python3-numpy  # only so the tests can pass numpy's boolean scalar
    python3-dask python3-distributed python3-pandas  # the optional vostrel.dask
  )
  if [[ "${VOSTREL_WITH_CLANG:-1}" == 1 ]]; then
    # libFuzzer with C++23: clang 14 lacks std::expected.
    packages+=(clang-19 libclang-rt-19-dev)
  fi
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${#missing[@]} Debian packages: ${missing[*]}" >&2
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "setup: the Debian packages for '$mode' are present" >&2
fi

if [[ ! -x .venv/bin/python ]]; then
  echo "setup: making .venv from /usr/bin/python3" >&2
  /usr/bin/python3 -m venv --system-site-packages .venv
fi
