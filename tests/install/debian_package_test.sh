#!/usr/bin/env bash
# Builds the Debian package of this build tree, installs it into the system with apt-get, uses it
# from a CMake project and through pkg-config without any search path, then removes it and checks
# that nothing of it is left. It changes the system, so it runs only as root, only when the
# package is not installed already, and removes the package however it ends.
#
#   debian_package_test.sh BUILD_DIR WORK CMAKE CPACK GENERATOR SOURCE_DIR PORT_BASE
set -euo pipefail
build_dir=$1 work=$2 cmake=$3 cpack=$4 generator=$5 source_dir=$6 port_base=$7

readonly package=tarn-c-sdk skip=77 frames=5 lock_timeout=120
readonly listen_polls=200 poll_seconds=0.05

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: installs a package into the system, which needs root"
    exit "$skip"
fi
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    echo "skipped: $package is installed already; this test leaves an existing install alone"
    exit "$skip"
fi

apt=(apt-get -o DPkg::Lock::Timeout="$lock_timeout" -y -qq)
installed=0
example_pid=""
cleanup() {
    [ -n "$example_pid" ] && kill "$example_pid" 2>/dev/null
    if [ "$installed" -eq 1 ]; then
        DEBIAN_FRONTEND=noninteractive "${apt[@]}" purge "$package" >/dev/null 2>&1 || true
    fi
}
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$work"
echo "== building the package"
"$cpack" --config "$build_dir/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log"
    fail "cpack failed"
}
deb=$(find "$work/package" -maxdepth 1 -name "${package}_*.deb")
[ -f "$deb" ] || fail "no ${package}_*.deb built"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for needed in libc6 libstdc++6; do
    grep -q "\b$needed\b" <<<"$depends" || fail "the package does not depend on $needed"
done
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' >"$work/files.txt"
for file in /usr/include/KESOApi.h /usr/include/tarn/tarn.h /usr/bin/tarn /usr/bin/tarn_sim_sensor \
    /usr/bin/tarn_stream_example; do
    grep -qx "$file" "$work/files.txt" || fail "the package lacks $file"
done
for pattern in '/libtarn_c_sdk\.so\.1\.' '/cmake/tarn_c_sdk/tarn_c_sdkConfig\.cmake$' \
    '/pkgconfig/tarn_c_sdk\.pc$'; do
    grep -q "$pattern" "$work/files.txt" || fail "the package lacks a file matching $pattern"
done

echo "== apt-get install $deb"
# Nothing else may come or go with it: its dependencies are the base system's.
"${apt[@]}" -s install "$deb" >"$work/plan.txt"
[ "$(grep -c '^Inst ' "$work/plan.txt")" -eq 1 ] || {
    cat "$work/plan.txt"
    fail "installing the package would install other packages"
}
installed=1
DEBIAN_FRONTEND=noninteractive "${apt[@]}" install "$deb" >"$work/install.log" 2>&1 || {
    cat "$work/install.log"
    fail "apt-get install failed"
}
# Long outputs are taken whole before they are searched: under pipefail, `grep -q` ending a pipe
# early can kill the writer with SIGPIPE and fail (or, in a condition, silently pass) the check.
libraries=$(ldconfig -p)
grep -q 'libtarn_c_sdk\.so\.1 ' <<<"$libraries" || fail "ldconfig does not know libtarn_c_sdk.so.1"
[ "$(pkg-config --modversion tarn_c_sdk)" = "$(dpkg-deb -f "$deb" Version)" ] ||
    fail "pkg-config does not find tarn_c_sdk, or reports another version"

if grep -q '/dist-packages/tarn/' "$work/files.txt"; then
    # The package installs the module for the system interpreter, whatever python3 a PATH finds first.
    (cd "$work" && /usr/bin/python3 -c "import tarn") || fail "the installed Python module does not import"
fi

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

echo "== apt-get remove $package"
"${apt[@]}" -s remove "$package" >"$work/plan.txt"
[ "$(grep -c '^Remv ' "$work/plan.txt")" -eq 1 ] || {
    cat "$work/plan.txt"
    fail "removing the package would remove other packages"
}
DEBIAN_FRONTEND=noninteractive "${apt[@]}" remove "$package" >"$work/remove.log" 2>&1 || {
    cat "$work/remove.log"
    fail "apt-get remove failed"
}
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    fail "$package is still installed"
fi
while read -r file; do
    [ ! -e "$file" ] || fail "left behind after removal: $file"
done <"$work/files.txt"
libraries=$(ldconfig -p)
if grep -q 'libtarn_c_sdk\.so' <<<"$libraries"; then
    fail "ldconfig still lists libtarn_c_sdk after removal"
fi
# Removal keeps only dpkg's record of the package's scripts; purging drops that too, leaving
# the system as it was.
DEBIAN_FRONTEND=noninteractive "${apt[@]}" purge "$package" >"$work/purge.log" 2>&1 || {
    cat "$work/purge.log"
    fail "apt-get purge failed"
}
installed=0
if dpkg-query -W "$package" >/dev/null 2>&1; then
    fail "dpkg still knows $package after purging"
fi
echo "== installed, used and removed cleanly"
