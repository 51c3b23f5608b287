#!/usr/bin/env bash
# Builds the library on a Debian 12 machine, installing whatever Debian
# packages are missing first.
#
#   ./dev.sh demo    build, then run the library's demonstration (qmk demo)
#   ./dev.sh test    build, then run the whole test suite
set -euo pipefail
cd "$(dirname "$0")"

packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libspdlog-dev xsltproc libxml2-utils)

install_missing_packages() {
  local missing=() package
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  ((${#missing[@]} == 0)) && return
  local sudo=()
  [[ $(id -u) -ne 0 ]] && sudo=(sudo)
  echo "Installing ${missing[*]}"
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

build() {
  cmake -S . -B build -G Ninja
  cmake --build build
}

case "${1:-}" in
  demo)
    install_missing_packages
    build
    # The build directory doubles as an installation home (trace style sheet).
    QUILL_HOME="$PWD/build" build/tools/qmk demo
    ;;
  test)
    install_missing_packages
    build
    ctest --test-dir build --output-on-failure --parallel "$(nproc)"
    ;;
  *)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac
