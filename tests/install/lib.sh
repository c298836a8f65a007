# Shared by the install checks (source after "set -euo pipefail"): messages, a work folder
# removed on exit, a private system bus, the reference daemon on it, the consumer builds.
work="$(mktemp -d)"
bus_pid=""
daemon_pid=""

cleanup() {
    [[ -n "$daemon_pid" ]] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
    [[ -n "$bus_pid" ]] && kill "$bus_pid" 2>/dev/null && wait "$bus_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() { echo "--- $*"; }
# target PROGRAM ARGS...: runs one of the project's programs; in a cross build under the
# target's emulator (QZ_TARGET_EMULATOR, which Install_test.cmake sets there).
target() { ${QZ_TARGET_EMULATOR:-} "$@"; }
expect_present() { [[ -e "$1" ]] || fail "$2 missing: $1"; }
expect_absent() { [[ ! -e "$1" ]] || fail "$2 installed though it should not be: $1"; }

# quietly MESSAGE COMMAND...: shows COMMAND's output and fails with MESSAGE only if it fails.
quietly() {
    local message="$1" log="$work/quietly.log"
    shift
    "$@" >"$log" 2>&1 || {
        cat "$log" >&2
        fail "$message"
    }
}

# bus_config [POLICY-DIR]: a bus with a system bus's defaults (nobody owns a name or is called
# unless a policy says so) that reads POLICY-DIR's policies only; without POLICY-DIR, the
# tests' open bus (as without root, where the policies would keep the daemon from its name).
bus_config() {
    if [[ -z "${1:-}" ]]; then
        cat "$(dirname "${BASH_SOURCE[0]}")/../data/test-bus.conf"
        return
    fi
    cat <<CONF
<busconfig>
  <type>system</type>
  <listen>unix:dir=$work</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
  </policy>
  <includedir>$1</includedir>
</busconfig>
CONF
}

# poll PID COMMAND...: true once COMMAND is, within 5 s and while process PID runs.
poll() {
    local pid="$1"
    shift
    for _ in $(seq 100); do
        "$@" && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

# start_bus [POLICY-DIR]: dbus-daemon as bus_config says; exports DBUS_SYSTEM_BUS_ADDRESS.
start_bus() {
    bus_config "$@" >"$work/bus.conf"
    chmod 755 "$work"
    dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --print-address=3 \
        3>"$work/bus-address" 2>"$work/bus.log" &
    bus_pid=$!
    poll "$bus_pid" test -s "$work/bus-address" || {
        cat "$work/bus.log" >&2
        fail "dbus-daemon rejected $work/bus.conf or printed no address"
    }
    DBUS_SYSTEM_BUS_ADDRESS="$(head -n1 "$work/bus-address")"
    export DBUS_SYSTEM_BUS_ADDRESS
}

# start_daemon DAEMON CLI: DAEMON with its journal in $work/journal and no OTA socket (its
# name is one per machine), until CLI reports it on the bus.
start_daemon() {
    export QZ_KVSTORE_DIR="$work/kv"
    mkdir -p "$QZ_KVSTORE_DIR"
    # Not through target(): $! must be the daemon's own pid, not a subshell's.
    STATE_DIRECTORY="$work/state" ${QZ_TARGET_EMULATOR:-} "$1" --journal "$work/journal" \
        --no-ota-socket &
    daemon_pid=$!
    daemon_up() { target "$1" --json status 2>/dev/null | grep -q '"daemon":true'; }
    poll "$daemon_pid" daemon_up "$2" || fail "$1 did not come up on the bus or own its name"
}

# Builds the consumer against PREFIX installed below ROOT (DESTDIR or "dpkg -x"): with
# pkg-config, through a copy of PC-FILE whose prefix line points below ROOT (everything else
# in it must follow from that line), and with find_package. A cross build's CXX,
# CMAKE_TOOLCHAIN_FILE and PKG_CONFIG_LIBDIR in the environment make it the target's.
# Leaves $work/consumer-pc and $work/consumer-build/consumer.
#   build_consumers CONSUMER-SOURCE PC-FILE ROOT PREFIX
build_consumers() {
    local source="$1" pc_file="$2" root="$3" prefix="$4" flags
    # The platform libraries the library needs lie beside it, where a native linker finds
    # them through LD_LIBRARY_PATH but a cross linker only through -rpath-link.
    local rpath_link="-Wl,-rpath-link,$(dirname "$(dirname "$pc_file")")"
    grep -qx "prefix=$prefix" "$pc_file" || fail "$pc_file does not say prefix=$prefix"
    mkdir -p "$work/pkgconfig"
    sed "s|^prefix=.*|prefix=$root$prefix|" "$pc_file" >"$work/pkgconfig/$(basename "$pc_file")"
    flags="$(PKG_CONFIG_PATH="$work/pkgconfig" pkg-config --cflags --libs qz-swupgrade-interface)" ||
        fail "pkg-config does not take $pc_file"
    # shellcheck disable=SC2086
    quietly "consumer does not build with pkg-config" \
        "${CXX:-g++}" -std=c++17 -o "$work/consumer-pc" "$source/consumer.cpp" $flags "$rpath_link"
    quietly "find_package(qz-swupgrade-interface) failed" \
        cmake -S "$source" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$root$prefix" \
        -DCMAKE_EXE_LINKER_FLAGS="$rpath_link"
    quietly "consumer does not build with find_package" cmake --build "$work/consumer-build"
}

# Runs both consumer builds with ARGS; they find the library through LD_LIBRARY_PATH, as the
# installed library carries no RUNPATH.
run_consumers() {
    target "$work/consumer-pc" "$@" || fail "consumer built with pkg-config fails"
    target "$work/consumer-build/consumer" "$@" || fail "consumer built with find_package fails"
}
