#!/usr/bin/env bash
# Installs the built trees and their packages into temporary places and checks what a user
# gets: the files, the library's names and exports, one version everywhere, the packages,
# and the examples built against the installed tree and run against nyx-sim.
#
#   install_test.sh linux-packages | linux-examples | windows-zip | windows-examples
#
# Set by CTest (tests/install/CMakeLists.txt): NYX_SRC, NYX_BUILD, NYX_WIN_BUILD, NYX_CPACK,
# NYX_VERSION, NYX_WORK; for wine also NYX_WINE and WINEPREFIX.
set -uo pipefail

mode=$1 work=$NYX_WORK/$1 lists=$NYX_SRC/tests/install failures=0 major=${NYX_VERSION%%.*}
[ "${2:-}" = inside ] || { rm -rf "$work" && mkdir -p "$work"; }

fail() { echo "FAIL: $*" >&2 && failures=$((failures + 1)); }
expect_eq() { [ "$2" = "$3" ] || fail "$1: '$2', expected '$3'"; } # what, actual, expected
expect_match() { # what, text, regex...
    local what=$1 text=$2 re
    shift 2
    for re; do grep -Eq -- "$re" <<<"$text" || fail "$what: no line matching '$re' in:"$'\n'"$text"; done
}
finish() {
    [ $failures = 0 ] && echo "$mode: all checks passed"
    exit $((failures > 0))
}

# Every file and link under root matches a pattern of the list, and every pattern a file.
# shellcheck disable=SC2053 # the list holds shell patterns
check_files() { # root, list
    local files f p hit patterns
    files=$(cd "$1" && find . ! -type d | sed 's|^\./||' | sort)
    mapfile -t patterns < <(grep -v -e '^#' -e '^$' "$2")
    for f in $files; do
        hit=0 && for p in "${patterns[@]}"; do [[ $f == $p ]] && hit=1 && break; done
        [ $hit = 1 ] || fail "$1: unexpected file $f (add it to $(basename "$2") if wanted)"
    done
    for p in "${patterns[@]}"; do
        hit=0 && for f in $files; do [[ $f == $p ]] && hit=1 && break; done
        [ $hit = 1 ] || fail "$1: missing $p"
    done
}

expected_exports=$(sort "$NYX_SRC/tests/nyxapi_exports.txt")

# The installed Linux tree under root: files, the library's names, links and exports, what
# nyxcli needs to find it, and the one version in nyx-sim, nyxapi.pc and the CMake package.
check_linux_tree() { # root
    local root=$1 lib=$1/lib/libnyxapi.so.$NYX_VERSION cli
    check_files "$root" "$lists/files-linux.txt"
    expect_eq "links" "$(readlink "$root/lib/libnyxapi.so") $(readlink "$root/lib/libnyxapi.so.$major")" \
        "libnyxapi.so.$major libnyxapi.so.$NYX_VERSION"
    expect_match "SONAME" "$(readelf -d "$lib")" "SONAME.*\[libnyxapi\.so\.$major\]"
    expect_eq "exports of $lib" "$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)" "$expected_exports"
    cli=$(readelf -d "$root/bin/nyxcli")
    expect_match "nyxcli NEEDED" "$cli" "NEEDED.*\[libnyxapi\.so\.$major\]"
    expect_match "nyxcli RUNPATH" "$cli" 'RUNPATH.*\[\$ORIGIN/\.\./lib\]'
    expect_eq "versions" "$("$root/bin/nyx-sim" --version) $(PKG_CONFIG_PATH=$root/lib/pkgconfig \
        pkg-config --modversion nyxapi)" "nyx-sim $NYX_VERSION $NYX_VERSION"
    expect_match "CMake package version" "$(cat "$root/lib/cmake/nyxapi/nyxapiConfigVersion.cmake")" \
        "PACKAGE_VERSION \"$NYX_VERSION\""
}

linux_packages() {
    "$NYX_CPACK" -G "DEB;TGZ" --config "$NYX_BUILD/CPackConfig.cmake" -B "$work/out" \
        >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; finish; }
    local deb=$work/out/nyxcli_${NYX_VERSION}_amd64.deb
    mkdir "$work/tgz" && tar -xzf "$work/out/nyxcli-$NYX_VERSION-Linux.tar.gz" -C "$work/tgz"
    check_linux_tree "$work/tgz/nyxcli-$NYX_VERSION-Linux"
    dpkg-deb -x "$deb" "$work/deb" || fail "dpkg-deb -x"
    check_linux_tree "$work/deb/usr"
    expect_eq "deb" "$(dpkg-deb -f "$deb" Package Version)" $'Package: nyxcli\nVersion: '"$NYX_VERSION"
    # Tags that remain are overridden, each with its reason, in packaging/lintian-overrides.
    lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 ||
        { cat "$work/lintian.log"; fail "lintian"; }
    finish
}

# Runs the three examples built in dir against a fresh nyx-sim, inside a private network
# namespace, then the command given, if any, while nyx-sim still serves; $run prefixes the
# examples (wine for Windows builds).
run_examples() { # sim, dir, suffix (.exe or empty), command...
    local dir=$2 x=$3 out
    rm -f "$work/sim.in" && mkfifo "$work/sim.in"
    "$1" <"$work/sim.in" >"$work/sim.log" 2>&1 &
    local sim=$!
    exec 7>"$work/sim.in"
    for _ in $(seq 100); do grep -q listening "$work/sim.log" && break || sleep 0.05; done
    # Output of Windows programs ends its lines with CR LF.
    # shellcheck disable=SC2086 # run is empty for Linux programs
    example() { timeout 60 $run "$@" 2>&1 | tr -d '\r'; }

    out=$(example "$dir/state$x")$'\n'"exit $?"
    expect_match "state" "$out" "^State: CONNECTED" "^Channel count: 8" "^exit 0$"
    out=$(example "$dir/channelcount$x" 16)$'\n'"exit $?"
    expect_match "channelcount 16" "$out" "^Channel count: 16$" "^exit 0$"
    # Not among the choices: refused by the library before anything is sent.
    out=$(example "$dir/channelcount$x" 12)$'\n'"exit $?"
    expect_match "channelcount 12" "$out" "NyxApiSetChannelCount\(12\): INVALID_DATA" "^exit 1$"

    # Two events: the connection, then the link going down on the simulator's command.
    example "$dir/events$x" 2 >"$work/events.out" &
    local events=$!
    for _ in $(seq 100); do grep -q "state CONNECTED" "$work/events.out" && break || sleep 0.1; done
    echo "link down" >&7
    wait $events
    out="exit $?"$'\n'$(cat "$work/events.out")
    expect_match "events" "$out" "^event 0x[0-9a-f]+: STATE .*CHANNEL_COUNT" \
        "^event 0x[0-9a-f]+:.* NETWORK_STATUS" "^  link down" "^exit 0$"
    "${@:4}"
    exec 7>&-
    kill $sim && wait $sim
}

# Installs the build tree into $work/prefix and builds the installed copy of the examples,
# as a user would: in $work/pkgconfig with its Makefile (the environment and make arguments
# given) and in $work/cmake with its CMakeLists.txt (the cmake arguments after --).
build_examples() { # build tree, VAR=value... make args..., --, cmake args...
    local prefix=$work/prefix src=$work/prefix/share/doc/nyxcli/examples make_args=()
    cmake --install "$1" --prefix "$prefix" >/dev/null || { fail "cmake --install"; finish; }
    shift
    while [ "$1" != -- ]; do make_args+=("$1") && shift; done
    shift
    cp -r "$src" "$work/pkgconfig"
    env "${make_args[@]}" >"$work/make.log" 2>&1 ||
        { cat "$work/make.log"; fail "examples through pkg-config"; finish; }
    { cmake -S "$src" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" "$@" && cmake --build "$work/cmake"; } \
        >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "examples through find_package(nyxapi)"; finish; }
}

# The bash completion offers every command of nyxcli's usage text, with its "=" where the
# usage shows one.
check_completion() { # prefix
    local actions offered a
    actions=$(cd "$work" && timeout 60 "$1/bin/nyxcli" -help -exit 2>&1 |
        sed -n 's/^-\([a-z]*\)\(=\?\).*/\1\2/p')
    [ "$(wc -l <<<"$actions")" -ge 30 ] || fail "nyxcli usage: $actions"
    offered=$(bash -c 'source "$1"; COMP_LINE="nyxcli "; COMP_POINT=${#COMP_LINE}; _nyxcli
        printf "%s\n" "${COMPREPLY[@]}"' _ "$1/share/bash-completion/completions/nyxcli")
    for a in $actions; do grep -qx -- "$a" <<<"$offered" || fail "completion does not offer $a"; done
}

# The prefix installed for the examples is also the tree checked.
linux_examples() {
    if [ "${1:-}" = inside ]; then # second half, in the private network namespace
        local run=""
        run_examples "$work/prefix/bin/nyx-sim" "$work/pkgconfig" ""
        run_examples "$work/prefix/bin/nyx-sim" "$work/cmake" "" check_completion "$work/prefix"
        finish
    fi
    build_examples "$NYX_BUILD" PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" make -C "$work/pkgconfig" \
        CFLAGS="-O2 -Wall -Wextra -Werror" LDFLAGS="-Wl,-rpath,$work/prefix/lib" --
    check_linux_tree "$work/prefix"
    exec "$NYX_SRC/tools/netns-run" bash "$0" linux-examples inside
}

windows_zip() {
    "$NYX_CPACK" -G ZIP --config "$NYX_WIN_BUILD/CPackConfig.cmake" -B "$work/out" \
        >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; finish; }
    mkdir "$work/zip" && (cd "$work/zip" && cmake -E tar xf "$work/out/nyxcli-$NYX_VERSION-win64.zip") ||
        { fail "unpacking the zip"; finish; }
    local top=$work/zip/nyxcli-$NYX_VERSION-win64 bin dll
    check_files "$top" "$lists/files-windows.txt"
    for bin in nyxapi.dll nyxcli.exe; do
        expect_eq "exports of $bin" "$(x86_64-w64-mingw32-objdump -p "$top/bin/$bin" | sed -n \
            '/Ordinal\/Name Pointer\] Table/,/^$/{s/^\s*\[ *[0-9]*\] //p}' | sort)" "$expected_exports"
    done
    # Nothing but Windows itself (and nyxapi.dll for nyxctl.exe, a user of the API like any
    # other): no compiler runtime DLL to ship beside them.
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
        export WINEPATH="Z:$work/prefix/bin" # where the installed nyxapi.dll is found
        local run=$NYX_WINE
        # One wine server for all the runs, kept 5 s after the last: each start is faster.
        "$(dirname "$(readlink -f "$NYX_WINE")")/wineserver" -p5
        for way in pkgconfig cmake; do run_examples "$NYX_BUILD/sim/nyx-sim" "$work/$way" .exe; done
        finish
    fi
    # The Windows examples use no pthreads (example_sync.h), hence PTHREAD empty.
    build_examples "$NYX_WIN_BUILD" PKG_CONFIG_LIBDIR="$work/prefix/lib/pkgconfig" make -C "$work/pkgconfig" \
        CC=x86_64-w64-mingw32-gcc-posix PTHREAD= CFLAGS="-O2 -Wall -Wextra -Werror" \
        -- -DCMAKE_TOOLCHAIN_FILE="$NYX_SRC/cmake/mingw-w64.cmake"
    exec "$NYX_SRC/tools/netns-run" bash "$0" windows-examples inside
}

case $mode in
linux-packages) linux_packages ;;
linux-examples) linux_examples "${2:-}" ;;
windows-zip) windows_zip ;;
windows-examples) windows_examples "${2:-}" ;;
*) echo "unknown mode $mode" >&2 && exit 2 ;;
esac
