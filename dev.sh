#!/usr/bin/env bash
# Builds the library on a Debian 12 machine, installing whatever Debian
# packages are missing first.
#
#   ./dev.sh demo          build, then run the library's demonstration (qmk demo)
#   ./dev.sh test          build, then run the whole test suite
#   ./dev.sh format        reformat every C++ file as .clang-format says
#   ./dev.sh check-style   fail when a file is not formatted, or when a name
#                          breaks the naming rules of .clang-tidy (configures
#                          the clang build directory build-clang to do so)
set -euo pipefail
cd "$(dirname "$0")"

# Every Debian package the project needs, in one place: what building and
# testing need, and the tools of the style checks and of the clang builds.
build_packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
                libspdlog-dev xsltproc libxml2-utils libmimalloc-dev libabsl-dev libtbb-dev
                zlib1g-dev libboost-dev libconcurrentqueue-dev libminizip-dev libzip-dev)
check_packages=(clang clang-format clang-tidy)

install_missing_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  ((${#missing[@]} == 0)) && return
  # sudo drops DEBIAN_FRONTEND from the environment; env passes it on.
  local sudo=()
  [[ $(id -u) -ne 0 ]] && sudo=(sudo)
  echo "Installing ${missing[*]}"
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
}

build() {
  cmake -S . -B build -G Ninja -DQMK_WERROR=ON
  cmake --build build
}

# Every C++ file of the tree, new ones included, deleted ones not.
cpp_files() {
  local file
  git ls-files -z --cached --others --exclude-standard -- '*.h' '*.cpp' |
    while IFS= read -r -d '' file; do if [[ -e $file ]]; then printf '%s\0' "$file"; fi; done
}

check_style() {
  cpp_files | xargs -0 clang-format --dry-run --Werror
  cmake -S . -B build-clang -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DQMK_WERROR=ON \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
  local log
  log=$(mktemp)
  if ! run-clang-tidy -quiet -p build-clang -j "$(nproc)" '/(qmkutils|tests|tools|bench|examples)/' \
    >"$log" 2>&1; then
    grep -E 'error:' "$log" | sed 's/\x1b\[[0-9;]*m//g' | sort -u
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
}

case "${1:-}" in
  demo)
    install_missing_packages "${build_packages[@]}"
    build
    # The build directory doubles as an installation home (trace style sheet).
    QUILL_HOME="$PWD/build" build/tools/qmk demo
    ;;
  test)
    install_missing_packages "${build_packages[@]}"
    build
    ctest --test-dir build --output-on-failure --parallel "$(nproc)"
    ;;
  format)
    install_missing_packages clang-format
    cpp_files | xargs -0 clang-format -i
    ;;
  check-style)
    install_missing_packages "${check_packages[@]}"
    check_style
    ;;
  *)
    echo "usage: $0 demo|test|format|check-style" >&2
    exit 2
    ;;
esac
