#!/usr/bin/env bash
# Installs the Debian 12 packages the kit builds and tests with; installs only what is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  liblog4cxx-dev
  libopencv-dev
  libboost-dev
  zlib1g-dev
  libusb-1.0-0-dev umockdev libumockdev-dev
  libopenblas0-pthread libopenblas-dev liblapack-dev
  libmatio-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  python3 python3-dev python3-numpy python3-scipy python3-pytest swig
  qtbase5-dev xvfb xauth
  clang libclang-rt-14-dev
  dpkg-dev fakeroot lintian file
  libgrpc++-dev protobuf-compiler-grpc libprotobuf-dev protobuf-compiler python3-grpcio python3-protobuf
  openssl xdotool x11-apps imagemagick help2man dh-python
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (run as root to install): ${missing[*]}" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
