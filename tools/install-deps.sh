#!/usr/bin/env bash
# Installs what the build and the tests need, when it is missing and we are root.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev   # native, sanitizer and fuzz builds
    googletest libgtest-dev                          # tests (the cross build compiles the sources)
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 # Windows build
    wine64                                           # Windows tests
    iproute2 util-linux                              # private network namespaces for port 8899
    dpkg-dev file lintian                            # the .deb: dependencies, checks
    pkg-config make man-db                           # install tests: examples, man pages
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
    echo "missing packages (install them as root): ${missing[*]}" >&2
    exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
