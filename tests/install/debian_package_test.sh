#!/usr/bin/env bash
# Builds the Debian packages of this build tree (scripts/debian-packages), checks them with
# lintian, installs all four into the system with apt-get, uses them (an example built against
# the development package with no search path, the tools, the man pages, the Python module),
# then purges them and checks that nothing of them is left. It changes the system, so it runs
# only as root, only when none of the packages is installed already, and purges them however it
# ends.
#
#   debian_package_test.sh BUILD_DIR WORK CMAKE GENERATOR SOURCE_DIR PORT_BASE
set -euo pipefail
build_dir=$1 work=$2 cmake=$3 generator=$4 source_dir=$5 port_base=$6

readonly packages=(libtarn-c-sdk1 libtarn-c-sdk-dev tarn-tools python3-tarn)
readonly skip=77 frames=5 lock_timeout=120
readonly listen_polls=200 poll_seconds=0.05

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: installs packages into the system, which needs root"
    exit "$skip"
fi
for package in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        echo "skipped: $package is installed already; this test leaves an existing install alone"
        exit "$skip"
    fi
done
command -v lintian >/dev/null || fail "lintian is not installed (scripts/setup installs it)"

apt=(apt-get -o DPkg::Lock::Timeout="$lock_timeout" -y -qq)
installed=0
example_pid=""
cleanup() {
    [ -n "$example_pid" ] && kill "$example_pid" 2>/dev/null
    if [ "$installed" -eq 1 ]; then
        DEBIAN_FRONTEND=noninteractive "${apt[@]}" purge "${packages[@]}" >/dev/null 2>&1 || true
    fi
}
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$work"
echo "== building the packages"
CMAKE=$cmake "$source_dir/scripts/debian-packages" "$build_dir" "$work/debs" >"$work/build.log" 2>&1 || {
    cat "$work/build.log"
    fail "scripts/debian-packages failed"
}
debs=()
for package in "${packages[@]}"; do
    deb=$(find "$work/debs" -maxdepth 1 -name "${package}_*.deb")
    [ -f "$deb" ] || fail "no ${package}_*.deb built"
    debs+=("$deb")
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' >"$work/$package.files"
    for doc in copyright changelog.Debian.gz; do
        grep -qx "/usr/share/doc/$package/$doc" "$work/$package.files" || fail "$package lacks its $doc"
    done
    echo "$package: Depends: $(dpkg-deb -f "$deb" Depends)"
done
version=$(dpkg-deb -f "${debs[0]}" Version)
# Each kind of file is in the package Debian puts it in.
has() { # PACKAGE PATTERN
    grep -q "$2" "$work/$1.files" || fail "$1 lacks a file matching $2"
}
has libtarn-c-sdk1 '/libtarn_c_sdk\.so\.1\.'
has libtarn-c-sdk1 '/libtarn_sim\.so\.1$'
has libtarn-c-sdk-dev '^/usr/include/tarn/tarn\.h$'
has libtarn-c-sdk-dev '/libtarn_c_sdk\.so$'
has libtarn-c-sdk-dev '/cmake/tarn_c_sdk/tarn_c_sdkConfig\.cmake$'
has libtarn-c-sdk-dev '/pkgconfig/tarn_c_sdk\.pc$'
for program in tarn tarn_sim_sensor tarn_stream_example; do
    has tarn-tools "^/usr/bin/$program$"
    has tarn-tools "^/usr/share/man/man1/$program\.1\.gz$"
done
has tarn-tools '^/usr/share/man/man1/tarn-stream\.1\.gz$'
has tarn-tools '^/usr/share/bash-completion/completions/tarn$'
has python3-tarn '/dist-packages/tarn/_tarn\.cpython-.*\.so$'
has python3-tarn '/dist-packages/tarn/py\.typed$'
grep -q '\.so\.' "$work/libtarn-c-sdk-dev.files" && fail "the development package holds a runtime library"
dpkg-deb -f "$work"/debs/libtarn-c-sdk-dev_*.deb Depends | grep -q "libtarn-c-sdk1 (= $version)" ||
    fail "libtarn-c-sdk-dev does not depend on libtarn-c-sdk1 (= $version)"
for package in tarn-tools python3-tarn; do
    depends=$(dpkg-deb -f "$work"/debs/${package}_*.deb Depends)
    for needed in libc6 libstdc++6 libtarn-c-sdk1; do
        grep -q "\b$needed\b" <<<"$depends" || fail "$package does not depend on $needed"
    done
done

echo "== lintian"
lintian --no-tag-display-limit "${debs[@]}" >"$work/lintian.txt" 2>&1 || true
cat "$work/lintian.txt"
grep -q '^E: ' "$work/lintian.txt" && fail "lintian reports errors"

echo "== apt-get install ./*.deb"
installed=1
(cd "$work/debs" && DEBIAN_FRONTEND=noninteractive "${apt[@]}" install ./*.deb) >"$work/install.log" 2>&1 || {
    cat "$work/install.log"
    fail "apt-get install failed"
}
# Long outputs are taken whole before they are searched: under pipefail, `grep -q` ending a pipe
# early can kill the writer with SIGPIPE and fail (or, in a condition, silently pass) the check.
libraries=$(ldconfig -p)
grep -q 'libtarn_c_sdk\.so\.1 ' <<<"$libraries" || fail "ldconfig does not know libtarn_c_sdk.so.1"
[ "$(pkg-config --modversion tarn_c_sdk)" = "${version%-*}" ] ||
    fail "pkg-config does not find tarn_c_sdk, or reports another version"
help=$(/usr/bin/tarn --help) || fail "tarn --help failed"
grep -q '^Commands:' <<<"$help" || fail "tarn --help lists no commands"
page=$(man -P cat tarn-stream 2>/dev/null || zcat /usr/share/man/man1/tarn-stream.1.gz)
grep -q -- '--device' <<<"$page" || fail "the man page of tarn stream does not name --device"
# The completion offers each command's own options (not the hidden spellings of earlier versions,
# such as --device-port).
completion=$(bash -c 'source /usr/share/bash-completion/completions/tarn
    COMP_WORDS=(tarn stream --dev); COMP_CWORD=2; _tarn; echo "${COMPREPLY[*]}"')
[ "$completion" = "--device" ] || fail "completing 'tarn stream --dev' gave '$completion'"
# The module is for the system interpreter, whatever python3 a PATH finds first.
(cd "$work" && /usr/bin/python3 -c "import tarn; print('tarn', tarn.__version__, tarn.__file__)") ||
    fail "the installed Python module does not import"

echo "== an example built against the system's copy"
example=$source_dir/examples/stream_callbacks
"$cmake" -S "$example" -B "$work/example" -G "$generator" >"$work/example.log" 2>&1 &&
    "$cmake" --build "$work/example" >>"$work/example.log" 2>&1 || {
    cat "$work/example.log"
    fail "the example did not build against the installed package"
}
dynamic=$(readelf -d "$work/example/stream_callbacks")
grep -q 'RUNPATH\|RPATH' <<<"$dynamic" &&
    fail "the example needs a run path to find the system's library"
out=$work/example.out
"$work/example/stream_callbacks" --local-port "$port_base" --device-port $((port_base + 1)) \
    --frames "$frames" --seconds 30 >"$out" 2>&1 &
example_pid=$!
for _ in $(seq "$listen_polls"); do
    grep -q listening "$out" && break
    kill -0 "$example_pid" 2>/dev/null || break
    sleep "$poll_seconds"
done
/usr/bin/tarn_sim_sensor --port "$port_base" --source-port $((port_base + 1)) \
    --frames $((frames * 3)) --fps 30 >"$work/sensor.out" 2>&1 || fail "installed tarn_sim_sensor"
rc=0
wait "$example_pid" || rc=$?
example_pid=""
cat "$out"
[ "$rc" -eq 0 ] || fail "the example exited with $rc"

echo "== apt-get purge"
"${apt[@]}" -s purge "${packages[@]}" >"$work/plan.txt"
[ "$(grep -c '^Purg ' "$work/plan.txt")" -eq ${#packages[@]} ] || {
    cat "$work/plan.txt"
    fail "purging the packages would remove other packages"
}
DEBIAN_FRONTEND=noninteractive "${apt[@]}" purge "${packages[@]}" >"$work/purge.log" 2>&1 || {
    cat "$work/purge.log"
    fail "apt-get purge failed"
}
installed=0
for package in "${packages[@]}"; do
    dpkg-query -W "$package" >/dev/null 2>&1 && fail "dpkg still knows $package after purging"
    while read -r file; do
        [ ! -e "$file" ] || fail "left behind after purging: $file"
    done <"$work/$package.files"
done
libraries=$(ldconfig -p)
if grep -q 'libtarn_c_sdk\.so' <<<"$libraries"; then
    fail "ldconfig still lists libtarn_c_sdk after purging"
fi
echo "== built, checked, installed, used and purged cleanly"
