#!/usr/bin/env bash
# Installs what the build and the tests need, when it is missing and we are root.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev   # native, sanitizer and fuzz builds
    googletest libgtest-dev                          # tests (the cross build compiles the sources)
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 # Windows build
    wine64                                           # Windows tests
    iproute2 util-linux                              # private network namespaces for port 8899
    python3-venv python3-pip python3-setuptools python3-wheel python3-pytest gcc # Python binding
    tshark tcpdump python3                           # the Wireshark dissector's checks
    nlohmann-json3-dev libcli11-dev libcpp-httplib-dev pkg-config patch xz-utils # nyxctl
    prometheus curl                                  # nyxctl's exporter tests
    dpkg-dev file lintian                            # the .deb: dependencies, checks
    pkg-config make man-db                           # install tests: examples, man pages
)

# Debian's cpp-httplib is a declaration header and a shared library; nyxctl.exe compiles the
# whole header, which the same version's source package holds.
httplib_dir=/usr/local/share/nyx-deps/cpp-httplib
fetch_httplib() {
    local version work
    version=$(dpkg-query -W -f='${Version}' libcpp-httplib-dev 2>/dev/null) || return 0
    [ -f "$httplib_dir/httplib.h" ] && [ "$(cat "$httplib_dir/VERSION" 2>/dev/null)" = "$version" ] &&
        return 0
    [ "$(id -u)" = 0 ] || { echo "as root: $0 unpacks cpp-httplib's source for nyxctl.exe" >&2; return 0; }
    echo "unpacking cpp-httplib $version's source for the Windows build"
    work=$(mktemp -d)
    # A private source list, so that the system's apt configuration stays as it is.
    mkdir -p "$work/parts" "$work/lists/partial"
    # The same archives as the system's own binary sources, as source entries.
    sed -n 's/^Types:.*\bdeb\b.*/Types: deb-src/;/^#/d;p' /etc/apt/sources.list.d/debian.sources \
        >"$work/parts/src.sources" 2>/dev/null || return 0
    local apt=(apt-get -qq -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/parts"
        -o "Dir::State::Lists=$work/lists")
    if (cd "$work" && "${apt[@]}" update && "${apt[@]}" source --download-only "cpp-httplib=$version") \
        >"$work/log" 2>&1; then
        (cd "$work" && mkdir src && tar -xf cpp-httplib_*.orig.tar.* -C src --strip-components=1 &&
            tar -xf cpp-httplib_*.debian.tar.* -C src &&
            if [ -f src/debian/patches/series ]; then
                while read -r patch; do
                    [ -n "$patch" ] && patch -s -d src -p1 <"src/debian/patches/$patch"
                done <src/debian/patches/series
            fi) >>"$work/log" 2>&1 &&
            mkdir -p "$httplib_dir" && cp "$work/src/httplib.h" "$work/src/LICENSE" "$httplib_dir/" &&
            echo "$version" >"$httplib_dir/VERSION"
    fi
    [ -f "$httplib_dir/httplib.h" ] || { echo "cpp-httplib source not unpacked (nyxctl.exe is built without metrics):" >&2; cat "$work/log" >&2; }
    rm -rf "$work"
}

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    fetch_httplib
    exit 0
fi

if [ "$(id -u)" != 0 ]; then
    echo "missing packages (install them as root): ${missing[*]}" >&2
    exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark's package asks whether ordinary users may capture; they need not.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
fetch_httplib
