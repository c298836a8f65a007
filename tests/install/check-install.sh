#!/usr/bin/env bash
# Installs the build into a throwaway root (DESTDIR) and checks what a user of
# a plain install gets: the library with its SONAME links and no RUNPATH,
# headers, tools, package files, the interface document, the group file, the
# unit, and the D-Bus policies where the system bus reads them; a consumer
# built once with pkg-config and once with find_package; and, when run as
# root, that the policies let root in and keep other users out.
#   check-install.sh BUILD-DIR CONSUMER-SOURCE-DIR [POLICY-DIR-OVERRIDE]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build_dir="$1"
consumer_src="$2"
policy_override="${3:-}"
root="$work/root"
prefix=/opt/qz-swu
dest="$root$prefix"

step "install into $prefix with DESTDIR=$root"
DESTDIR="$root" quietly "cmake --install failed" cmake --install "$build_dir" --prefix "$prefix"

pc_file="$(find "$dest" -name qz-swupgrade-interface.pc)"
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
    expect_present "$libdir/libqz-platform-$lib.so.1" "platform library $lib"
done
# No RUNPATH unless the build asked for one relative to the binary.
grep -q '^QZ_INSTALL_RPATH:BOOL=ON$' "$build_dir/CMakeCache.txt" && want_runpath=1 || want_runpath=0
for binary in "$real_lib" "$dest/bin/qz-swu" "$dest/bin/qz-swu-daemon"; do
    runpath="$(readelf -d "$binary" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p')"
    if [[ "$want_runpath" -eq 1 ]]; then
        [[ "$runpath" == '$ORIGIN'* ]] || fail "$binary has RUNPATH '$runpath', not one from \$ORIGIN"
    else
        [[ -z "$runpath" ]] || fail "$binary has RUNPATH '$runpath'"
    fi
done

step "headers, pkg-config file, interface document"
for header in QZGDBus.h QzExport.h SWUInterfaceData.h SWUpgradeInterface.h SWUpgradeTypes.h; do
    expect_present "$dest/include/qz-swupgrade-interface/$header" "header"
done
for header in dlog.h vconf.h system_info.h; do
    expect_present "$dest/include/qz-platform/$header" "platform header"
done
[[ "$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --variable=includedir qz-swupgrade-interface)" == \
    "$prefix/include" ]] || fail "pkg-config includedir is not $prefix/include"
PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags qz-swupgrade-interface |
    grep -q -- "-I$prefix/include/qz-swupgrade-interface\( \|$\)" ||
    fail "pkg-config Cflags do not name $prefix/include/qz-swupgrade-interface"
interface="$dest/share/dbus-1/interfaces/interface.corvanemessage.xml"
expect_present "$interface" "interface document"
[[ "$(grep -c '<method ' "$interface")" -eq 7 ]] || fail "$interface does not declare the seven methods"

step "documents, group, unit"
expect_present "$dest/share/doc/qz-swupgrade-interface/LICENSE" "licence"
expect_present "$dest/share/doc/qz-swupgrade-interface/CHANGELOG.md" "change log"
grep -qx 'g qz-swu -' "$dest/lib/sysusers.d/qz-swu.conf" || fail "no sysusers.d entry for the group qz-swu"
unit="$dest/lib/systemd/system/qz-swu-daemon.service"
expect_present "$unit" "systemd unit"
grep -qx "ExecStart=$prefix/bin/qz-swu-daemon .*" "$unit" || fail "unit does not start $prefix/bin/qz-swu-daemon"
grep -qx "BusName=com.kestova.orvel.qz.swu.daemon" "$unit" || fail "unit names no bus name"
grep -q '^WantedBy=' "$unit" && fail "the simulator's unit would be started by default"
grep -q '^PrivateNetwork=' "$unit" && fail "PrivateNetwork hides the abstract OTA socket from clients"
kvstore="$(sed -n 's/^ReadWritePaths=//p' "$unit")"
[[ -n "$kvstore" ]] || fail "the unit may write no key-value store"
grep -qx "d $kvstore 0755 root root -" "$dest/lib/tmpfiles.d/qz-swu-simulator.conf" ||
    fail "no tmpfiles.d entry makes $kvstore"

step "D-Bus policies where the system bus reads them"
if [[ -n "$policy_override" ]]; then
    policy_dir="$policy_override"
else
    policy_dir="$(pkg-config --variable=datadir dbus-1 2>/dev/null || echo /usr/share)/dbus-1/system.d"
fi
[[ "$policy_dir" == /* ]] || policy_dir="$prefix/$policy_dir"
[[ "$policy_dir" == "$prefix"/* || ! -e "$dest/share/dbus-1/system.d" ]] ||
    fail "policies installed below the prefix, where the system bus does not read them"
policy_dir="$root$policy_dir"
for name in interface daemon; do
    policy="$policy_dir/com.kestova.orvel.qz.swu.$name.conf"
    expect_present "$policy" "policy for the $name name"
    grep -q '@' "$policy" && fail "$policy has an unreplaced placeholder"
    grep -q "<allow own=\"com.kestova.orvel.qz.swu.$name\"/>" "$policy" || fail "$policy allows no owner"
done

export LD_LIBRARY_PATH="$libdir"
export QZ_PLATFORM_LOG=none
step "tools run from the prefix"
"$dest/bin/qz-swu" --version | grep -q '^qz-swu [0-9]' || fail "installed qz-swu does not run"
"$dest/bin/qz-swu-daemon" --help >/dev/null || fail "installed qz-swu-daemon does not run"

step "consumers built with pkg-config and with find_package"
build_consumers "$consumer_src" "$pc_file" "$root" "$prefix"
# The consumer constructs a client; give it a bus address where none is.
DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus" run_consumers

if [[ "$(id -u)" -ne 0 ]] || ! command -v setpriv >/dev/null; then
    echo "--- policy enforcement skipped (needs root and setpriv)"
    exit 0
fi

step "policies on a bus that reads only them"
system_bus_config "$policy_dir" >"$work/bus.conf"
start_bus "$work/bus.conf"
start_daemon "$dest/bin/qz-swu-daemon" "$dest/bin/qz-swu"

"$dest/bin/qz-swu" cabinet progress 1 >/dev/null || fail "root may not call the daemon"
if setpriv --reuid=65534 --regid=65534 --clear-groups "$dest/bin/qz-swu" cabinet progress 2 \
    >/dev/null 2>"$work/nobody.err"; then
    fail "a user outside the group called the daemon"
fi
grep -q "cabinet progress 2 not sent: the bus refused the call" "$work/nobody.err" ||
    fail "unexpected refusal text: $(cat "$work/nobody.err")"
grep -q '"value":1[,}]' "$work/journal" || fail "the daemon did not record root's call"
grep -q '"value":2[,}]' "$work/journal" && fail "the daemon received the other user's call"
echo "install checks passed"
