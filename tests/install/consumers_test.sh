#!/usr/bin/env bash
# Installs the library into a prefix under WORK and uses it the way an application would: checks
# the installed layout, builds every example with find_package and a one-file consumer with
# pkg-config, and runs them against the simulated sensor on loopback.
#   shared: installs this build tree (shared library, tools, headers, packages)
#   static: builds the same sources with BUILD_SHARED_LIBS=OFF and installs that; the consumers
#           must then not depend on libtarn_c_sdk.so, and must stream, which needs the state the
#           library sets up at load time
# Everything it writes stays under WORK; it ends by itself.
#
#   consumers_test.sh MODE SOURCE_DIR BUILD_DIR WORK CMAKE GENERATOR CXX CC SIM_SENSOR PORT_BASE
set -euo pipefail
mode=$1 source_dir=$2 build_dir=$3 work=$4 cmake=$5 generator=$6 cxx=$7 cc=$8 sim=$9
port_base=${10}

readonly tilt=12 turn=5 angle_tolerance=0.5 frames=10 sim_fps=30
# The second sensor's wall stands twice as far as the first one's.
readonly distance_step=2000 distance_tolerance=100
readonly listen_polls=200 poll_seconds=0.05

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
warnings="-Wall -Wextra -Wpedantic -Wconversion -Werror"

echo "== installing ($mode)"
if [ "$mode" = shared ]; then
    "$cmake" --install "$build_dir" --prefix "$prefix" >"$work/install.log"
else
    "$cmake" -S "$source_dir" -B "$work/library-build" -G "$generator" -DBUILD_SHARED_LIBS=OFF \
        -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_TOOLS=OFF -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" >"$work/configure.log"
    "$cmake" --build "$work/library-build" >"$work/build.log" || {
        cat "$work/build.log"
        fail "the static library did not build"
    }
    "$cmake" --install "$work/library-build" --prefix "$prefix" >"$work/install.log"
fi

libdir=$(find "$prefix" -name 'tarn_c_sdkConfig.cmake' -printf '%h\n' | sed 's|/cmake/tarn_c_sdk$||')
[ -n "$libdir" ] || fail "no CMake package installed"
expected=(
    include/KESOApi.h
    "${libdir#"$prefix"/}/cmake/tarn_c_sdk/tarn_c_sdkConfigVersion.cmake"
    "${libdir#"$prefix"/}/pkgconfig/tarn_c_sdk.pc"
)
for header in "$source_dir"/include/tarn/*.h; do
    [ -e "$header" ] && expected+=("include/tarn/$(basename "$header")")
done
if [ "$mode" = shared ]; then
    expected+=(bin/tarn bin/tarn_sim_sensor bin/tarn_stream_example)
    # The real file, the SONAME link and the development link.
    so=$(readelf -d "$libdir/libtarn_c_sdk.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
    [ "$so" = libtarn_c_sdk.so.1 ] || fail "SONAME is '$so'"
    [ "$(readlink "$libdir/libtarn_c_sdk.so")" = libtarn_c_sdk.so.1 ] || fail "libtarn_c_sdk.so link"
    [ -f "$libdir/$(readlink "$libdir/libtarn_c_sdk.so.1")" ] || fail "libtarn_c_sdk.so.1 link"
    readlink "$libdir/libtarn_c_sdk.so.1" | grep -qx 'libtarn_c_sdk\.so\.1\.[0-9]*\.[0-9]*' ||
        fail "libtarn_c_sdk.so.1 does not point to a versioned file"
    # The installed example finds the installed library by itself.
    "$prefix/bin/tarn_stream_example" --help >/dev/null || fail "installed tarn_stream_example"
    sim=$prefix/bin/tarn_sim_sensor
else
    expected+=("${libdir#"$prefix"/}/libtarn_c_sdk.a")
    [ -z "$(find "$prefix" -name 'libtarn_c_sdk.so*')" ] || fail "a static build installed a .so"
fi
for file in "${expected[@]}"; do
    [ -f "$prefix/$file" ] || fail "not installed: $file"
done

# Links a consumer against the installed library as MODE says it must.
check_linkage() {
    local binary=$1
    local dynamic
    # Taken whole first: `grep -q` ending a pipe early could kill readelf under pipefail.
    dynamic=$(readelf -d "$binary")
    if grep -q 'NEEDED.*libtarn_c_sdk' <<<"$dynamic"; then
        [ "$mode" = shared ] || fail "$binary depends on libtarn_c_sdk.so after a static link"
    else
        [ "$mode" = static ] || fail "$binary does not depend on libtarn_c_sdk.so"
    fi
}

# Runs PROGRAM [ARGS] against the simulated sensor: starts it, waits until it listens (the first
# frame would arrive half otherwise), then streams SIM_FRAMES frames to it from SENSOR_PORT.
stream_to() {
    local out=$1 local_port=$2 sensor_port=$3 sim_frames=$4
    shift 4
    "$@" --local-port "$local_port" --device-port "$sensor_port" >"$out" 2>&1 &
    local pid=$!
    pids+=("$pid")
    for _ in $(seq "$listen_polls"); do
        grep -q listening "$out" 2>/dev/null && break
        kill -0 "$pid" 2>/dev/null || break
        sleep "$poll_seconds"
    done
    "$sim" --port "$local_port" --source-port "$sensor_port" --tilt "$tilt" --fps "$sim_fps" \
        --frames "$sim_frames" >"$out.sensor" 2>&1 || {
        cat "$out.sensor"
        fail "the simulated sensor failed"
    }
    local rc=0
    wait "$pid" || rc=$?
    cat "$out"
    [ "$rc" -eq 0 ] || fail "$(basename "$1") exited with $rc"
}

echo "== examples built with find_package"
mkdir -p "$work/examples"
port=$port_base
for example in "$source_dir"/examples/*/; do
    name=$(basename "$example")
    "$cmake" -S "$example" -B "$work/examples/$name" -G "$generator" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_FLAGS="$warnings" \
        -DCMAKE_C_FLAGS="$warnings" >"$work/examples/$name.configure.log" 2>&1 || {
        cat "$work/examples/$name.configure.log"
        fail "$name: configure failed"
    }
    "$cmake" --build "$work/examples/$name" >"$work/examples/$name.build.log" 2>&1 || {
        cat "$work/examples/$name.build.log"
        fail "$name: build failed"
    }
    check_linkage "$work/examples/$name/$name"
done

out=$work/examples/stream_callbacks.out
stream_to "$out" "$port" $((port + 1)) $((frames * 3)) \
    "$work/examples/stream_callbacks/stream_callbacks" --frames "$frames" --seconds 30
grep -q "^summary: $frames frames .* 54000 cells with distance" "$out" ||
    fail "stream_callbacks did not report $frames whole frames"

out=$work/examples/poll_angle.out
stream_to "$out" $((port + 2)) $((port + 3)) $((frames * 3)) \
    "$work/examples/poll_angle/poll_angle" --frames "$frames" --seconds 30 --turn "$turn"
mean=$(sed -n 's/^summary: .* measured, mean angle \(.*\)$/\1/p' "$out")
awk -v m="$mean" -v want=$((tilt + turn)) -v tol="$angle_tolerance" \
    'BEGIN { d = m - want; exit !(m != "" && d < tol && -d < tol) }' ||
    fail "poll_angle measured '$mean', expected $((tilt + turn)) within $angle_tolerance"

# Two sensors at different distances, each to its own stream: no frame may reach the other.
out=$work/examples/stream_two_sensors.out
"$work/examples/stream_two_sensors/stream_two_sensors" --frames "$frames" --seconds 30 \
    $((port + 4)) 127.0.0.2 $((port + 5)) $((port + 6)) 127.0.0.3 $((port + 7)) >"$out" 2>&1 &
pids+=($!)
two_sensors_pid=$!
for _ in $(seq "$listen_polls"); do
    grep -q "^stream_two_sensors: listening" "$out" 2>/dev/null && break
    kill -0 "$two_sensors_pid" 2>/dev/null || break
    sleep "$poll_seconds"
done
for sensor in 1 2; do
    "$sim" --port $((port + 2 + 2 * sensor)) --source-address "127.0.0.$((sensor + 1))" \
        --source-port $((port + 3 + 2 * sensor)) --distance $((sensor * distance_step)) \
        --fps "$sim_fps" --frames $((frames * 3)) >"$out.sensor$sensor" 2>&1 &
    pids+=($!)
done
rc=0
wait "$two_sensors_pid" || rc=$?
cat "$out"
[ "$rc" -eq 0 ] || fail "stream_two_sensors exited with $rc"
awk -v step="$distance_step" -v tol="$distance_tolerance" '
    $1 == "sensor" && $3 == "frame" {
        frames[$2]++
        x = $(NF - 4)
        if (x < $2 * step - tol || x > $2 * step + tol) { print "sensor " $2 " saw x " x; bad = 1 }
    }
    END { exit bad || frames[1] == 0 || frames[2] == 0 }' "$out" ||
    fail "stream_two_sensors mixed the sensors up or missed one"

echo "== one-file consumer built with pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046 # pkg-config's output is a list of flags
"$cxx" -std=c++11 $warnings -o "$work/pkgconfig_consumer" \
    "$(dirname "$0")/pkgconfig_consumer.cpp" $(pkg-config --cflags --libs tarn_c_sdk) ||
    fail "the pkg-config consumer did not build"
"$cc" -std=c99 $warnings -o "$work/pkgconfig_consumer_c" \
    "$(dirname "$0")/pkgconfig_consumer.c" $(pkg-config --cflags --libs tarn_c_sdk) ||
    fail "the pkg-config C consumer did not build"
for consumer in pkgconfig_consumer pkgconfig_consumer_c; do
    check_linkage "$work/$consumer"
    LD_LIBRARY_PATH=$libdir "$work/$consumer" || fail "$consumer failed"
done
echo "== every public header alone, as C99 and C++11"
for header in "$prefix"/include/tarn/*.h; do
    name=tarn/$(basename "$header")
    printf '#include <%s>\nint main(void) { return 0; }\n' "$name" >"$work/header.c"
    "$cc" -std=c99 $warnings -I"$prefix/include" -fsyntax-only "$work/header.c" ||
        fail "$name does not compile alone as C99"
    "$cxx" -std=c++11 $warnings -I"$prefix/include" -fsyntax-only -x c++ "$work/header.c" ||
        fail "$name does not compile alone as C++11"
done

echo "== the components: a recording read back as frames equals the live stream"
components="tarn_recording tarn_sim tarn_messages tarn_mcap"
# shellcheck disable=SC2046,SC2086 # pkg-config's output is a list of flags
"$cc" -std=c99 $warnings -o "$work/recording_consumer" "$(dirname "$0")/recording_consumer.c" \
    $(pkg-config --cflags --libs $components) || fail "the components' pkg-config consumer did not build"
LD_LIBRARY_PATH=$libdir "$work/recording_consumer" "$work/recorded.pcap" $((port + 8)) ||
    fail "recording_consumer (pkg-config) failed"
"$cmake" -S "$(dirname "$0")/components" -B "$work/components" -G "$generator" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$warnings" \
    >"$work/components.configure.log" 2>&1 || {
    cat "$work/components.configure.log"
    fail "find_package did not find the components"
}
"$cmake" --build "$work/components" >"$work/components.build.log" 2>&1 || {
    cat "$work/components.build.log"
    fail "the components' find_package consumer did not build"
}
"$work/components/recording_consumer" "$work/recorded-cmake.pcap" $((port + 9)) ||
    fail "recording_consumer (find_package) failed"
echo "== $mode install: all consumers built and ran"
