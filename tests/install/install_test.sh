#!/usr/bin/env bash
# Installs the built trees and their packages into temporary places and checks what a user
# gets: the files, the library's names and exports, one version everywhere, the packages'
# metadata, and the examples built against the installed tree and run against nyx-sim.
#
#   install_test.sh linux-tree | linux-packages | linux-examples | windows-zip | windows-examples
#
# Set by CTest (tests/install/CMakeLists.txt): NYX_SRC, NYX_BUILD, NYX_WIN_BUILD, NYX_CPACK,
# NYX_VERSION, NYX_WORK; for wine also NYX_WINE and WINEPREFIX.
set -uo pipefail

mode=$1
work=$NYX_WORK/$mode
if [ "${2:-}" != inside ]; then
    rm -rf "$work" && mkdir -p "$work"
fi
lists=$NYX_SRC/tests/install
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
expect_eq() { # what, actual, expected
    [ "$2" = "$3" ] || fail "$1: '$2', expected '$3'"
}
expect_match() { # what, text, regex
    grep -Eq -- "$3" <<<"$2" || fail "$1: no line matching '$3' in:"$'\n'"$2"
}
finish() {
    [ $failures = 0 ] && echo "$mode: all checks passed"
    [ $failures = 0 ]
    exit
}

# Every file and link under root must match one pattern of the list, and every pattern
# must match something. Other parts of the project that install files add them to the list.
check_files() { # root, list
    local root=$1 list=$2 f pattern matched
    local patterns=()
    while read -r pattern; do
        [[ -z $pattern || $pattern == \#* ]] || patterns+=("$pattern")
    done <"$list"
    local files
    files=$(cd "$root" && find . ! -type d | sed 's|^\./||' | sort)
    for f in $files; do
        matched=0
        for pattern in "${patterns[@]}"; do
            # shellcheck disable=SC2053
            [[ $f == $pattern ]] && matched=1 && break
        done
        [ $matched = 1 ] || fail "$root: unexpected file $f (add it to $(basename "$list") if wanted)"
    done
    for pattern in "${patterns[@]}"; do
        matched=0
        for f in $files; do
            # shellcheck disable=SC2053
            [[ $f == $pattern ]] && matched=1 && break
        done
        [ $matched = 1 ] || fail "$root: missing $pattern"
    done
}

exports_of_so() { nm -D --defined-only "$1" | awk '{print $3}' | sort; }
exports_of_pe() {
    x86_64-w64-mingw32-objdump -p "$1" |
        sed -n '/Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort
}
expected_exports() { sort "$NYX_SRC/tests/nyxapi_exports.txt"; }

# The installed Linux tree under root: the files, the library's names, links and exports,
# what nyxcli needs to find it, the one version in the library, nyx-sim, nyxapi.pc and the
# CMake package, and man pages that render without warnings.
check_linux_tree() { # root
    local root=$1 major=${NYX_VERSION%%.*}
    check_files "$root" "$lists/files-linux.txt"
    expect_eq "libnyxapi.so" "$(readlink "$root/lib/libnyxapi.so")" "libnyxapi.so.$major"
    expect_eq "libnyxapi.so.$major" "$(readlink "$root/lib/libnyxapi.so.$major")" \
        "libnyxapi.so.$NYX_VERSION"
    local lib=$root/lib/libnyxapi.so.$NYX_VERSION
    expect_match "SONAME" "$(readelf -d "$lib")" "SONAME.*\[libnyxapi\.so\.$major\]"
    expect_eq "exports of $lib" "$(exports_of_so "$lib")" "$(expected_exports)"
    local cli
    cli=$(readelf -d "$root/bin/nyxcli")
    expect_match "nyxcli NEEDED" "$cli" "NEEDED.*\[libnyxapi\.so\.$major\]"
    expect_match "nyxcli RUNPATH" "$cli" 'RUNPATH.*\[\$ORIGIN/\.\./lib\]'
    expect_eq "nyx-sim --version" "$("$root/bin/nyx-sim" --version)" "nyx-sim $NYX_VERSION"
    expect_eq "nyxapi.pc version" "$(PKG_CONFIG_PATH=$root/lib/pkgconfig pkg-config --modversion nyxapi)" \
        "$NYX_VERSION"
    expect_match "CMake package version" "$(cat "$root/lib/cmake/nyxapi/nyxapiConfigVersion.cmake")" \
        "PACKAGE_VERSION \"$NYX_VERSION\""
    local page warnings
    for page in "$root"/share/man/man1/*.1.gz; do
        gzip -t "$page" || fail "$page is not gzip"
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        expect_eq "man warnings of $(basename "$page")" "$warnings" ""
    done
}

linux_tree() {
    cmake --install "$NYX_BUILD" --prefix "$work/prefix" >"$work/install.log" ||
        { cat "$work/install.log"; fail "cmake --install"; finish; }
    check_linux_tree "$work/prefix"
    # The prefix is found from the .pc file's place: the tree works wherever it is moved.
    mv "$work/prefix" "$work/moved"
    expect_match "relocated nyxapi.pc" \
        "$(PKG_CONFIG_PATH=$work/moved/lib/pkgconfig pkg-config --cflags --libs nyxapi)" \
        "^-I$work/moved/lib/pkgconfig/\.\./\.\./include -L$work/moved/lib/pkgconfig/\.\./\.\./lib -lnyxapi"
    finish
}

linux_packages() {
    "$NYX_CPACK" -G "DEB;TGZ" --config "$NYX_BUILD/CPackConfig.cmake" -B "$work/out" \
        >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; finish; }
    local deb tgz
    deb=$(ls "$work"/out/*.deb) && tgz=$(ls "$work"/out/*.tar.gz) || { fail "packages missing"; finish; }

    mkdir "$work/tgz" && tar -xzf "$tgz" -C "$work/tgz"
    local top=$work/tgz/nyxcli-$NYX_VERSION-Linux
    [ -d "$top" ] || fail "tarball top directory nyxcli-$NYX_VERSION-Linux"
    check_linux_tree "$top"

    # The .deb: into a scratch root (its files under usr/), then its metadata and lintian.
    dpkg-deb -x "$deb" "$work/deb" || fail "dpkg-deb -x"
    check_linux_tree "$work/deb/usr"
    expect_eq "Package" "$(dpkg-deb -f "$deb" Package)" "nyxcli"
    expect_eq "Version" "$(dpkg-deb -f "$deb" Version)" "$NYX_VERSION"
    expect_match "Depends" "$(dpkg-deb -f "$deb" Depends)" "libc6 \(>= "
    dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$work" ./triggers ./shlibs 2>/dev/null
    expect_match "ldconfig trigger" "$(cat "$work/triggers" 2>/dev/null)" "^activate-noawait ldconfig"
    expect_match "shlibs" "$(cat "$work/shlibs" 2>/dev/null)" "^libnyxapi ${NYX_VERSION%%.*} nyxcli"
    # Tags that remain are overridden, each with its reason, in packaging/lintian-overrides.
    lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 ||
        { cat "$work/lintian.log"; fail "lintian"; }
    finish
}

# Starts nyx-sim with its input on descriptor 7 and waits until it serves; simpid is its id.
start_sim() { # sim
    rm -f "$work/sim.in" "$work/sim.log" && mkfifo "$work/sim.in"
    "$1" <"$work/sim.in" >"$work/sim.log" 2>&1 &
    simpid=$!
    exec 7>"$work/sim.in"
    for _ in $(seq 100); do
        grep -q listening "$work/sim.log" 2>/dev/null && return
        sleep 0.05
    done
    fail "nyx-sim does not start: $(cat "$work/sim.log")"
}
stop_sim() {
    exec 7>&-
    kill "$simpid" 2>/dev/null
    wait "$simpid" 2>/dev/null
}

# Runs the three examples built in dir against a fresh nyx-sim. Inside a private network
# namespace (tools/netns-run); $run prefixes the examples (wine for Windows builds).
run_examples() { # sim, dir, suffix (.exe or empty)
    local sim=$1 dir=$2 x=$3 out
    start_sim "$sim"
    # Output of Windows programs ends its lines with CR LF.
    # shellcheck disable=SC2086 # run is empty for Linux programs
    example() { timeout 60 $run "$@" 2>&1 | tr -d '\r'; }

    out=$(example "$dir/state$x")
    expect_eq "state exit status" $? 0
    expect_match "state" "$out" "^State: CONNECTED"
    expect_match "state" "$out" "^Channel count: 8"

    out=$(example "$dir/channelcount$x" 16)
    expect_eq "channelcount 16 exit status" $? 0
    expect_match "channelcount 16" "$out" "^Channel count: 16$"
    # Not among the choices: refused by the library before anything is sent.
    out=$(example "$dir/channelcount$x" 12)
    expect_eq "channelcount 12 exit status" $? 1
    expect_match "channelcount 12" "$out" "NyxApiSetChannelCount\(12\): INVALID_DATA"

    # Two events: the connection, then the link going down on the simulator's command.
    example "$dir/events$x" 2 >"$work/events.out" &
    local events=$!
    for _ in $(seq 100); do
        grep -q "state CONNECTED" "$work/events.out" && break
        sleep 0.1
    done
    echo "link down" >&7
    wait $events
    expect_eq "events exit status" $? 0
    out=$(cat "$work/events.out")
    expect_match "events" "$out" "^event 0x[0-9a-f]+: STATE .*CHANNEL_COUNT"
    expect_match "events" "$out" "^event 0x[0-9a-f]+:.* NETWORK_STATUS"
    expect_match "events" "$out" "^  link down"
    stop_sim
}

# Every command of nyxcli's usage text is offered by the bash completion, and its "="
# form where the usage shows one.
check_completion() { # prefix
    local prefix=$1 usage
    usage=$(cd "$work" && timeout 60 "$prefix/bin/nyxcli" -help -exit 2>&1)
    local actions
    actions=$(sed -n 's/^-\([a-z]*\)\(=\?\).*/\1\2/p' <<<"$usage")
    [ "$(wc -l <<<"$actions")" -ge 30 ] || fail "nyxcli usage: $usage"
    local offered
    offered=$(bash -c 'source "$1"; COMP_LINE="nyxcli "; COMP_POINT=${#COMP_LINE}; _nyxcli
        printf "%s\n" "${COMPREPLY[@]}"' _ "$prefix/share/bash-completion/completions/nyxcli")
    local a
    for a in $actions; do
        grep -qx -- "$a" <<<"$offered" || fail "completion does not offer $a"
    done
    offered=$(bash -c 'source "$1"; COMP_LINE="nyxcli -audio=a"; COMP_POINT=${#COMP_LINE}; _nyxcli
        printf "%s\n" "${COMPREPLY[@]}"' _ "$prefix/share/bash-completion/completions/nyxcli")
    expect_eq "completion of -audio=a" "$offered" "asio"
}

# Installs the build tree into $work/prefix and builds the installed copy of the examples,
# as a user would: in $work/pkgconfig with its Makefile (the environment and make arguments
# given) and in $work/cmake with its CMakeLists.txt (the cmake arguments after --).
build_examples() { # build tree, VAR=value... make args..., --, cmake args...
    local tree=$1 prefix=$work/prefix src
    shift
    local make_args=()
    while [ "$1" != -- ]; do make_args+=("$1") && shift; done
    shift
    cmake --install "$tree" --prefix "$prefix" >/dev/null || { fail "cmake --install"; finish; }
    src=$prefix/share/doc/nyxcli/examples
    cp -r "$src" "$work/pkgconfig"
    env "${make_args[@]}" >"$work/make.log" 2>&1 ||
        { cat "$work/make.log"; fail "examples through pkg-config"; finish; }
    { cmake -S "$src" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" "$@" && cmake --build "$work/cmake"; } \
        >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "examples through find_package(nyxapi)"; finish; }
}

linux_examples() {
    if [ "${1:-}" = inside ]; then # second half, in the private network namespace
        local prefix=$work/prefix run=""
        for way in pkgconfig cmake; do
            run_examples "$prefix/bin/nyx-sim" "$work/$way" ""
        done
        start_sim "$prefix/bin/nyx-sim"
        check_completion "$prefix"
        stop_sim
        finish
    fi
    build_examples "$NYX_BUILD" PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" make -C "$work/pkgconfig" \
        CFLAGS="-O2 -Wall -Wextra -Werror" LDFLAGS="-Wl,-rpath,$work/prefix/lib" --
    exec "$NYX_SRC/tools/netns-run" bash "$0" linux-examples inside
}

windows_zip() {
    "$NYX_CPACK" -G ZIP --config "$NYX_WIN_BUILD/CPackConfig.cmake" -B "$work/out" \
        >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; finish; }
    local zip
    zip=$(ls "$work"/out/*.zip) || { fail "zip missing"; finish; }
    mkdir "$work/zip" && (cd "$work/zip" && cmake -E tar xf "$zip") || fail "unpacking $zip"
    local top=$work/zip/nyxcli-$NYX_VERSION-win64
    check_files "$top" "$lists/files-windows.txt"
    expect_eq "exports of nyxapi.dll" "$(exports_of_pe "$top/bin/nyxapi.dll")" "$(expected_exports)"
    expect_eq "exports of nyxcli.exe" "$(exports_of_pe "$top/bin/nyxcli.exe")" "$(expected_exports)"
    # Nothing but Windows itself (and nyxapi.dll for nyxctl.exe, a user of the API like any
    # other): no compiler runtime DLL to ship beside them.
    local bin dll
    for bin in "$top"/bin/*.exe "$top"/bin/*.dll; do
        for dll in $(x86_64-w64-mingw32-objdump -p "$bin" | sed -n 's/^\s*DLL Name: //p'); do
            case ${dll,,} in
            kernel32.dll | msvcrt.dll | ws2_32.dll | ole32.dll | shell32.dll | user32.dll | \
                advapi32.dll | api-ms-win-*) ;;
            nyxapi.dll) [ "$(basename "$bin")" = nyxctl.exe ] || fail "$(basename "$bin") needs $dll" ;;
            *) fail "$(basename "$bin") needs $dll" ;;
            esac
        done
    done
    expect_match "nyxapi.pc" "$(cat "$top/lib/pkgconfig/nyxapi.pc")" "^Version: $NYX_VERSION$"
    finish
}

windows_examples() {
    if [ "${1:-}" = inside ]; then
        # The installed nyxapi.dll is found through the wine search path.
        export WINEPATH="Z:$work/prefix/bin"
        local run=$NYX_WINE
        # One wine server for all the runs, kept 5 s after the last: each start is faster.
        "$(dirname "$(readlink -f "$NYX_WINE")")/wineserver" -p5
        for way in pkgconfig cmake; do
            run_examples "$NYX_BUILD/sim/nyx-sim" "$work/$way" .exe
        done
        finish
    fi
    # The Windows examples use no pthreads (example_sync.h), hence PTHREAD empty.
    build_examples "$NYX_WIN_BUILD" PKG_CONFIG_LIBDIR="$work/prefix/lib/pkgconfig" make -C "$work/pkgconfig" \
        CC=x86_64-w64-mingw32-gcc-posix PTHREAD= CFLAGS="-O2 -Wall -Wextra -Werror" \
        -- -DCMAKE_TOOLCHAIN_FILE="$NYX_SRC/cmake/mingw-w64.cmake"
    exec "$NYX_SRC/tools/netns-run" bash "$0" windows-examples inside
}

case $mode in
linux-tree) linux_tree ;;
linux-packages) linux_packages ;;
linux-examples) linux_examples "${2:-}" ;;
windows-zip) windows_zip ;;
windows-examples) windows_examples "${2:-}" ;;
*) echo "unknown mode $mode" >&2 && exit 2 ;;
esac
