# Shared by the install checks: messages, a work folder cleaned up on exit,
# a private message bus, the reference daemon on it, and the two consumer
# builds. Source after "set -euo pipefail".

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

# Runs a command quietly; on failure shows its output and fails with MESSAGE.
#   quietly MESSAGE COMMAND...
quietly() {
    local message="$1" log
    shift
    log="$(mktemp -p "$work")"
    "$@" >"$log" 2>&1 || {
        cat "$log" >&2
        fail "$message"
    }
}

# Fails unless PATH exists (-e) or does not (! -e), naming WHAT.
expect_present() { [[ -e "$1" ]] || fail "$2 missing: $1"; }
expect_absent() { [[ ! -e "$1" ]] || fail "$2 installed though it should not be: $1"; }

# The start both bus configurations share: a system bus listening in $work.
bus_config_head() {
    cat <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:dir=$work</listen>
  <auth>EXTERNAL</auth>
CONF
}

# A bus with the defaults of a system bus (nobody owns a name or is called
# unless a policy says so) that reads the policies of POLICY-DIR only.
system_bus_config() {
    local policy_dir="$1"
    bus_config_head
    cat <<CONF
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
  <includedir>$policy_dir</includedir>
</busconfig>
CONF
}

# A bus where everyone may own and call anything (for runs without root,
# where the policies would keep the daemon from its name).
open_bus_config() {
    bus_config_head
    cat <<CONF
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
}

# Starts dbus-daemon with CONFIG-FILE and exports DBUS_SYSTEM_BUS_ADDRESS.
start_bus() {
    local config="$1"
    chmod 755 "$work"
    dbus-daemon --config-file="$config" --nofork --nopidfile --print-address=3 \
        3>"$work/bus-address" 2>"$work/bus.log" &
    bus_pid=$!
    for _ in $(seq 100); do
        [[ -s "$work/bus-address" ]] && break
        kill -0 "$bus_pid" 2>/dev/null || { cat "$work/bus.log" >&2; fail "dbus-daemon rejected $config"; }
        sleep 0.05
    done
    [[ -s "$work/bus-address" ]] || fail "dbus-daemon printed no address"
    DBUS_SYSTEM_BUS_ADDRESS="$(head -n1 "$work/bus-address")"
    export DBUS_SYSTEM_BUS_ADDRESS
}

# Starts DAEMON (journal in $work/journal, no OTA socket: its name is one per
# machine) and waits until CLI reports it on the bus.
#   start_daemon DAEMON CLI
start_daemon() {
    local daemon="$1" cli="$2"
    export QZ_KVSTORE_DIR="$work/kv"
    mkdir -p "$QZ_KVSTORE_DIR"
    "$daemon" --journal "$work/journal" --no-ota-socket &
    daemon_pid=$!
    for _ in $(seq 100); do
        "$cli" --json status 2>/dev/null | grep -q '"daemon":true' && return 0
        kill -0 "$daemon_pid" 2>/dev/null || fail "$daemon stopped: it was not let own its name"
        sleep 0.05
    done
    fail "$daemon did not come up on the bus"
}

# Builds the consumer twice against PREFIX installed below ROOT (DESTDIR or
# "dpkg -x"): with pkg-config, through a copy of PC-FILE whose prefix line
# points below ROOT (everything else in it must follow from that line), and
# with find_package (ROOT/PREFIX on CMAKE_PREFIX_PATH). Leaves
# $work/consumer-pc and $work/consumer-build/consumer.
#   build_consumers CONSUMER-SOURCE PC-FILE ROOT PREFIX
build_consumers() {
    local source="$1" pc_file="$2" root="$3" prefix="$4" flags
    grep -qx "prefix=$prefix" "$pc_file" || fail "$pc_file does not say prefix=$prefix"
    mkdir -p "$work/pkgconfig"
    sed "s|^prefix=.*|prefix=$root$prefix|" "$pc_file" >"$work/pkgconfig/$(basename "$pc_file")"
    flags="$(PKG_CONFIG_PATH="$work/pkgconfig" pkg-config --cflags --libs qz-swupgrade-interface)" ||
        fail "pkg-config does not take $pc_file"
    # shellcheck disable=SC2086
    quietly "consumer does not build with pkg-config" \
        g++ -std=c++17 -o "$work/consumer-pc" "$source/consumer.cpp" $flags
    quietly "find_package(qz-swupgrade-interface) failed" \
        cmake -S "$source" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$root$prefix"
    quietly "consumer does not build with find_package" cmake --build "$work/consumer-build"
}

# Runs both consumer builds with ARGS; they find the library through
# LD_LIBRARY_PATH, as the installed library carries no RUNPATH.
run_consumers() {
    "$work/consumer-pc" "$@" || fail "consumer built with pkg-config fails"
    "$work/consumer-build/consumer" "$@" || fail "consumer built with find_package fails"
}
