#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a user of the
# package gets: the library with its SONAME links, headers, tools, package
# files and policies; a consumer built once with pkg-config and once with
# find_package; and, when run as root, that the D-Bus policies let root in
# and keep other users out.
#   check-install.sh BUILD-DIR CONSUMER-SOURCE-DIR
set -euo pipefail

build_dir="$1"
consumer_src="$2"
work="$(mktemp -d)"
prefix="$work/prefix"
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

step "install into $prefix"
cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" || {
    cat "$work/install.log" >&2
    fail "cmake --install failed"
}

pc_file="$(find "$prefix" -name qz-swupgrade-interface.pc)"
[[ -n "$pc_file" ]] || fail "no pkg-config file installed"
libdir="$(dirname "$(dirname "$pc_file")")"

step "library, SONAME and links in $libdir"
real_lib="$(find "$libdir" -maxdepth 1 -type f -name 'libqz-swupgrade-interface.so.*.*.*')"
[[ -n "$real_lib" ]] || fail "no versioned library file"
soname="$(readelf -d "$real_lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')"
[[ "$soname" == "libqz-swupgrade-interface.so.1" ]] || fail "SONAME is '$soname'"
[[ "$(readlink "$libdir/libqz-swupgrade-interface.so")" == "$soname" ]] ||
    fail "libqz-swupgrade-interface.so does not point at $soname"
[[ "$(readlink "$libdir/$soname")" == "$(basename "$real_lib")" ]] ||
    fail "$soname does not point at $(basename "$real_lib")"
for lib in log kvstore sysinfo; do
    [[ -e "$libdir/libqz-platform-$lib.so.1" ]] || fail "platform library $lib not installed"
done

step "headers"
for header in QZGDBus.h QzExport.h SWUInterfaceData.h SWUpgradeInterface.h SWUpgradeTypes.h; do
    [[ -f "$prefix/include/qz-swupgrade-interface/$header" ]] || fail "header $header missing"
done
for header in dlog.h vconf.h system_info.h; do
    [[ -f "$prefix/include/qz-platform/$header" ]] || fail "platform header $header missing"
done

step "tools run from the prefix"
"$prefix/bin/qz-swu" --version | grep -q '^qz-swu [0-9]' || fail "installed qz-swu does not run"
"$prefix/bin/qz-swu-daemon" --help >/dev/null || fail "installed qz-swu-daemon does not run"

step "systemd unit and D-Bus policies"
unit="$(find "$prefix" -name qz-swu-daemon.service)"
[[ -n "$unit" ]] || fail "no systemd unit installed"
grep -qx "ExecStart=$prefix/bin/qz-swu-daemon .*" "$unit" || fail "unit does not start $prefix/bin/qz-swu-daemon"
grep -qx "BusName=com.kestova.orvel.qz.swu.daemon" "$unit" || fail "unit names no bus name"
policy_dir="$(dirname "$(find "$prefix" -name com.kestova.orvel.qz.swu.daemon.conf)")"
for name in interface daemon; do
    policy="$policy_dir/com.kestova.orvel.qz.swu.$name.conf"
    [[ -f "$policy" ]] || fail "policy for the $name name missing"
    grep -q '@' "$policy" && fail "$policy has an unreplaced placeholder"
    grep -q "<allow own=\"com.kestova.orvel.qz.swu.$name\"/>" "$policy" || fail "$policy allows no owner"
done

export PKG_CONFIG_PATH="$libdir/pkgconfig"
export QZ_PLATFORM_LOG=none
# The consumer constructs a client; give it a bus address where none is.
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus"

step "consumer built with pkg-config"
# shellcheck disable=SC2046
g++ -std=c++17 -o "$work/consumer-pc" "$consumer_src/consumer.cpp" \
    $(pkg-config --cflags --libs qz-swupgrade-interface) -Wl,-rpath,"$libdir" ||
    fail "consumer does not build with pkg-config"
"$work/consumer-pc" || fail "consumer built with pkg-config fails"

step "consumer built with find_package"
cmake -S "$consumer_src" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" \
    >"$work/consumer-configure.log" || {
    cat "$work/consumer-configure.log" >&2
    fail "find_package(qz-swupgrade-interface) failed"
}
cmake --build "$work/consumer-build" >"$work/consumer-build.log" || {
    cat "$work/consumer-build.log" >&2
    fail "consumer does not build with find_package"
}
"$work/consumer-build/consumer" || fail "consumer built with find_package fails"

if [[ "$(id -u)" -ne 0 ]] || ! command -v setpriv >/dev/null; then
    echo "--- policy enforcement skipped (needs root and setpriv)"
    exit 0
fi

step "policies on a bus that reads only them"
cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:dir=$work</listen>
  <auth>EXTERNAL</auth>
  <!-- The defaults of a system bus: nobody owns or is called unless a
       policy file says so; replies, signals and the bus driver pass. -->
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
chmod 755 "$work"
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --print-address=3 \
    3>"$work/bus-address" 2>"$work/bus.log" &
bus_pid=$!
for _ in $(seq 100); do
    [[ -s "$work/bus-address" ]] && break
    kill -0 "$bus_pid" 2>/dev/null || { cat "$work/bus.log" >&2; fail "dbus-daemon rejected the policies"; }
    sleep 0.05
done
[[ -s "$work/bus-address" ]] || fail "dbus-daemon printed no address"
export DBUS_SYSTEM_BUS_ADDRESS="$(head -n1 "$work/bus-address")"
export QZ_KVSTORE_DIR="$work/kv"
mkdir -p "$QZ_KVSTORE_DIR"

# The OTA socket is not needed here and its name is one per machine.
"$prefix/bin/qz-swu-daemon" --journal "$work/journal" --no-ota-socket &
daemon_pid=$!
for _ in $(seq 100); do
    "$prefix/bin/qz-swu" --json status 2>/dev/null | grep -q '"daemon":true' && break
    kill -0 "$daemon_pid" 2>/dev/null || fail "root was not let to own the daemon's name"
    sleep 0.05
done

"$prefix/bin/qz-swu" cabinet progress 1 >/dev/null || fail "root may not call the daemon"
if setpriv --reuid=65534 --regid=65534 --clear-groups "$prefix/bin/qz-swu" cabinet progress 2 \
    >/dev/null 2>"$work/nobody.err"; then
    fail "a user outside the group called the daemon"
fi
grep -q "cabinet progress 2 not sent: the bus refused the call" "$work/nobody.err" ||
    fail "unexpected refusal text: $(cat "$work/nobody.err")"
grep -q '"value":1[,}]' "$work/journal" || fail "the daemon did not record root's call"
grep -q '"value":2[,}]' "$work/journal" && fail "the daemon received the other user's call"
echo "install checks passed"
