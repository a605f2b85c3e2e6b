#!/usr/bin/env bash
# Builds and tests everything on a fresh machine:
#   build/       native (g++)                      all tests
#   build-asan/  AddressSanitizer + UBSan          all tests
#   build-tsan/  ThreadSanitizer                   the threaded tests
#   build-fuzz/  clang + libFuzzer                 each fuzz target for a short fixed time
#   build-win/   mingw-w64, run under wine         all tests, plus nyxcli.exe end to end
#   build/python/ the Python binding in a venv     pytest against build/'s library and nyx-sim
#   build/       install                           install, packages, examples against the
#                                                  installed trees (Linux, and wine with win)
#   build-types/ every other build type            g++, clang and mingw-w64 in Debug, Release,
#                                                  RelWithDebInfo and MinSizeRel: all build,
#                                                  the tests of g++ Release run
# Ends with one line of counts. NYX_STAGES="native asan tsan fuzz win python install buildtypes"
# picks stages. Every tree is built with -Werror (NYX_WERROR=ON).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash tools/install-deps.sh || exit 1

stages=${NYX_STAGES:-"native asan tsan fuzz win python install buildtypes"}
jobs=$(nproc)
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
export WINEDEBUG=-all
export WINEPREFIX=$root/build-win/wineprefix
export GTEST_COLOR=no

total_pass=0 total_fail=0 total_skip=0
failed_stages=()

has() { [[ " $stages " == *" $1 "* ]]; }

configure_and_build() { # dir, cmake args...
    local dir=$1 start=$SECONDS
    shift
    echo "== build $dir"
    mkdir -p "$dir"
    if ! { cmake -S . -B "$dir" -G Ninja -DNYX_WERROR=ON "$@" >"$dir/configure.log" 2>&1 ||
        { cat "$dir/configure.log"; false; }; } || ! cmake --build "$dir" -j "$jobs"; then
        echo "!! build of $dir failed"
        failed_stages+=("$dir(build)")
        total_fail=$((total_fail + 1))
        return 1
    fi
    echo "-- built $dir in $((SECONDS - start)) s"
}

# Counts one finished ctest run: GoogleTest executables by their cases (from their XML),
# every other test as one.
count_results() { # dir, stage
    local dir=$1 stage=$2 pass=0 fail=0 skip=0
    local junit=$dir/ctest-junit.xml
    [ -f "$junit" ] || { echo "!! no results in $dir"; total_fail=$((total_fail + 1)); return; }
    while IFS=$'\t' read -r name status; do
        local xml=$dir/gtest-xml/$name.xml
        if [ -f "$xml" ] && [ "$xml" -nt "$dir/.run-start" ]; then
            read -r p f s < <(awk '
                /<testcase / { n++; if ($0 ~ /result="skipped"/) sk++; cur=n }
                /<failure/ { if (!(cur in bad)) { bad[cur]=1; nf++ } }
                END { printf "%d %d %d\n", n - nf - sk, nf, sk }' "$xml")
            # A sanitizer report at exit fails the run after every case passed.
            if [ "$status" = fail ] && [ "$f" = 0 ]; then f=1; fi
            pass=$((pass + p)) fail=$((fail + f)) skip=$((skip + s))
        elif [ "$status" = run ]; then
            pass=$((pass + 1))
        elif [ "$status" = disabled ] || [ "$status" = notrun ]; then
            skip=$((skip + 1))
        else
            fail=$((fail + 1))
        fi
    done < <(grep -o '<testcase name="[^"]*"[^>]*status="[^"]*"' "$junit" |
        sed -E 's/<testcase name="([^"]*)".*status="([^"]*)"/\1\t\2/')
    echo "-- $stage: $pass passed, $fail failed, $skip skipped"
    total_pass=$((total_pass + pass)) total_fail=$((total_fail + fail)) total_skip=$((total_skip + skip))
    [ "$fail" = 0 ] || failed_stages+=("$stage")
}

run_ctest() { # dir, stage, ctest args...
    local dir=$1 stage=$2
    shift 2
    echo "== test $stage"
    rm -rf "$dir/gtest-xml" && mkdir -p "$dir/gtest-xml"
    touch "$dir/.run-start"
    sleep 1 # XML files must be strictly newer than the marker
    local before=$total_fail
    (cd "$dir" && ctest --output-on-failure --output-junit ctest-junit.xml "$@")
    local rc=$?
    count_results "$dir" "$stage"
    if [ $rc != 0 ] && [ "$total_fail" = "$before" ]; then
        echo "!! ctest failed in $dir without a failing test"
        total_fail=$((total_fail + 1))
        failed_stages+=("$stage")
    fi
}

# The Python binding: pip-installed offline (the build backend comes from the system) into a
# fresh venv, from a copy of python/ since pip builds inside the tree; then its tests, in a
# private network namespace for nyx-sim's port, counted from pytest's XML.
run_python() {
    local dir=$root/build/python
    echo "== test python"
    rm -rf "$dir" && mkdir -p "$dir" && cp -r python "$dir/src" && rm -rf "$dir/src/build"
    if ! /usr/bin/python3 -m venv --system-site-packages "$dir/venv" ||
        ! "$dir/venv/bin/pip" install -q --no-build-isolation --no-index "$dir/src"; then
        echo "!! python: install into a venv failed"
        failed_stages+=(python) total_fail=$((total_fail + 1))
        return
    fi
    NYXAPI_LIBRARY=$root/build/api/libnyxapi.so NYX_SIM=$root/build/sim/nyx-sim tools/netns-run \
        "$dir/venv/bin/python" -m pytest -q -p no:cacheprovider --junitxml="$dir/junit.xml" python/tests
    local rc=$? pass=0 fail=1 skip=0
    [ -f "$dir/junit.xml" ] && read -r pass fail skip < <("$dir/venv/bin/python" - "$dir/junit.xml" <<'EOF'
import sys, xml.etree.ElementTree as ET
s = list(ET.parse(sys.argv[1]).getroot().iter("testsuite"))
n = [sum(int(t.get(k, 0)) for t in s) for k in ("tests", "failures", "errors", "skipped")]
print(n[0] - n[1] - n[2] - n[3], n[1] + n[2], n[3])
EOF
)
    [ $rc = 0 ] || [ "$fail" != 0 ] || fail=1 # pytest failed outside a test
    echo "-- python: $pass passed, $fail failed, $skip skipped"
    total_pass=$((total_pass + pass)) total_fail=$((total_fail + fail)) total_skip=$((total_skip + skip))
    [ "$fail" = 0 ] || failed_stages+=(python)
}

built_native=0 built_win=0
# Windows first: the native build's end-to-end tests drive build-win's nyxcli.exe.
if has win; then
    configure_and_build build-win -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" && built_win=1
fi
if has native || has win || has python || has install; then
    configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DNYX_WIN_BUILD_DIR="$root/build-win" -DNYX_WINEPREFIX="$WINEPREFIX" && built_native=1
fi
has asan && configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DNYX_SANITIZE=asan -DNYX_BENCH=OFF &&
    built_asan=1
has tsan && configure_and_build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNYX_SANITIZE=tsan \
    -DNYX_BENCH=OFF && built_tsan=1
has fuzz && CC=clang CXX=clang++ configure_and_build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNYX_FUZZ=ON -DNYX_BENCH=OFF && built_fuzz=1

if has native && [ $built_native = 1 ]; then
    run_ctest build native -j "$jobs" -LE "wine|install"
fi
if has python && [ $built_native = 1 ]; then
    run_python
fi
if has asan && [ "${built_asan:-0}" = 1 ]; then
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_ctest build-asan asan -j "$jobs"
fi
if has tsan && [ "${built_tsan:-0}" = 1 ]; then
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan tsan -j "$jobs"
fi
if has fuzz && [ "${built_fuzz:-0}" = 1 ]; then
    run_ctest build-fuzz fuzz -j "$jobs"
fi
if has win && [ $built_win = 1 ]; then
    # A fresh prefix per run; made once here so that tests do not race to create it.
    rm -rf "$WINEPREFIX"
    "$wine" wineboot -i >/dev/null 2>&1
    "$(dirname "$(readlink -f "$wine")")/wineserver" -w 2>/dev/null || true
    run_ctest build-win win -j "$jobs"
    if [ $built_native = 1 ]; then
        run_ctest build win-e2e -L wine
    fi
fi

# What users get: install trees, packages, examples (tests/install). The Windows half needs
# build-win and the wine prefix made above.
if has install && [ $built_native = 1 ]; then
    run_ctest build install -L install
fi

# The build types no other stage builds. Warnings differ with the optimiser (g++ at -O3
# sees code paths -O2 does not), so each one is built with the tests under -Werror; the
# tests themselves run once more only for g++ Release, the build users pick most.
if has buildtypes; then
    for combo in gcc:Debug gcc:Release gcc:MinSizeRel clang:Debug clang:Release \
        clang:RelWithDebInfo clang:MinSizeRel mingw:Debug mingw:Release mingw:MinSizeRel; do
        compiler=${combo%%:*} type=${combo#*:}
        args=(-DCMAKE_BUILD_TYPE="$type")
        case $compiler in
        clang) CC=clang CXX=clang++ configure_and_build "build-types/$compiler-$type" "${args[@]}" ;;
        mingw) configure_and_build "build-types/$compiler-$type" "${args[@]}" \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" ;;
        *) configure_and_build "build-types/$compiler-$type" "${args[@]}" ;;
        esac && [ "$combo" = gcc:Release ] && built_release=1
    done
    if [ "${built_release:-0}" = 1 ]; then
        run_ctest build-types/gcc-Release release -j "$jobs" -LE "wine|install"
    fi
fi

echo
[ ${#failed_stages[@]} -eq 0 ] || echo "failed: ${failed_stages[*]}"
echo "total: $total_pass passed, $total_fail failed, $total_skip skipped"
[ "$total_fail" = 0 ] && [ "$total_pass" -gt 0 ]
