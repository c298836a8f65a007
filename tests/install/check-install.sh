#!/usr/bin/env bash
# What a plain install into a throwaway root (DESTDIR) gives: the library with its SONAME
# links and no RUNPATH, headers, tools, package files, documents, group, unit and D-Bus
# policies below the prefix (or in the folder the build named); an install with --prefix
# alone writes nothing outside that prefix; a consumer built with pkg-config and with
# find_package; and, as root, policies that let root in and keep other users out.
#   check-install.sh BUILD-DIR CONSUMER-SOURCE-DIR [POLICY-DIR-OVERRIDE]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build_dir="$1"
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
# No RUNPATH unless the build asked for one relative to the binary.
grep -q '^QZ_INSTALL_RPATH:BOOL=ON$' "$build_dir/CMakeCache.txt" && want='$ORIGIN*' || want=''
for binary in "$real_lib" "$dest/bin/qz-swu" "$dest/bin/qz-swu-daemon"; do
    runpath="$(readelf -d "$binary" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p')"
    # shellcheck disable=SC2053
    [[ "$runpath" == $want ]] || fail "$binary has RUNPATH '$runpath', not '$want'"
done

step "platform libraries, headers, pkg-config file, documents, group, interface"
for file in "$libdir"/libqz-platform-{log,kvstore,sysinfo}.so.1 \
    "$dest"/include/qz-swupgrade-interface/{QZGDBus,QzExport,SWUInterfaceData,SWUpgradeCallStatus,SWUpgradeInterface,SWUpgradeTypes}.h \
    "$dest"/include/qz-platform/{dlog,vconf,system_info}.h \
    "$dest"/share/doc/qz-swupgrade-interface/{LICENSE,CHANGELOG.md}; do
    expect_present "$file" "installed file"
done
if grep -q '^QZ_BUILD_DOCS:BOOL=ON$' "$build_dir/CMakeCache.txt"; then
    expect_present "$dest/share/doc/qz-swupgrade-interface/html/index.html" "API reference"
fi
pc() { PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config "$@" qz-swupgrade-interface; }
[[ "$(pc --variable=includedir)" == "$prefix/include" ]] || fail "pkg-config includedir is not $prefix/include"
pc --cflags | grep -q -- "-I$prefix/include/qz-swupgrade-interface\( \|$\)" ||
    fail "pkg-config Cflags do not name $prefix/include/qz-swupgrade-interface"
grep -qx 'g qz-swu -' "$dest/lib/sysusers.d/qz-swu.conf" || fail "no sysusers.d entry for the group qz-swu"
interface="$dest/share/dbus-1/interfaces/interface.corvanemessage.xml"
[[ "$(grep -c '<method ' "$interface")" -eq 7 ]] || fail "$interface does not declare the seven methods"

step "unit"
unit="$dest/lib/systemd/system/qz-swu-daemon.service"
grep -qx "ExecStart=$prefix/bin/qz-swu-daemon .*" "$unit" || fail "unit does not start $prefix/bin/qz-swu-daemon"
grep -qx "BusName=com.kestova.orvel.qz.swu.daemon" "$unit" || fail "unit names no bus name"
grep -q '^WantedBy=' "$unit" && fail "the simulator's unit would be started by default"
grep -q '^PrivateNetwork=' "$unit" && fail "PrivateNetwork hides the abstract OTA socket from clients"
kvstore="$(sed -n 's/^ReadWritePaths=//p' "$unit")"
[[ -n "$kvstore" ]] || fail "the unit may write no key-value store"
grep -qx "d $kvstore 0755 root root -" "$dest/lib/tmpfiles.d/qz-swu-simulator.conf" ||
    fail "no tmpfiles.d entry makes $kvstore"

step "D-Bus policies in <prefix>/share/dbus-1/system.d or the folder the build named"
policy_dir="${3:-share/dbus-1/system.d}"
[[ "$policy_dir" == /* ]] || policy_dir="$prefix/$policy_dir"
policy_dir="$root$policy_dir"
for name in interface daemon; do
    policy="$policy_dir/com.kestova.orvel.qz.swu.$name.conf"
    expect_present "$policy" "policy for the $name name"
    grep -q '@' "$policy" && fail "$policy has an unreplaced placeholder"
    grep -q "<allow own=\"com.kestova.orvel.qz.swu.$name\"/>" "$policy" || fail "$policy allows no owner"
done

if [[ "${3:-}" != /* ]]; then
    step "cmake --install --prefix DIR writes only below DIR"
    only_prefix="$work/only-prefix"
    quietly "cmake --install --prefix failed" cmake --install "$build_dir" --prefix "$only_prefix"
    outside="$(grep -v "^$only_prefix/" "$build_dir/install_manifest.txt" || true)"
    [[ -z "$outside" ]] || fail "installed outside $only_prefix: $outside"
    expect_present "$only_prefix/share/dbus-1/system.d/com.kestova.orvel.qz.swu.interface.conf" \
        "policy below the prefix"
fi

export LD_LIBRARY_PATH="$libdir" QZ_PLATFORM_LOG=none
step "tools run from the prefix"
target "$dest/bin/qz-swu" --version | grep -q '^qz-swu [0-9]' || fail "installed qz-swu does not run"
target "$dest/bin/qz-swu-daemon" --help >/dev/null || fail "installed qz-swu-daemon does not run"

step "consumers built with pkg-config and with find_package"
build_consumers "$2" "$pc_file" "$root" "$prefix"
# The consumer constructs a client; give it a bus address where none is.
DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus" run_consumers

if [[ "$(id -u)" -ne 0 ]] || ! command -v setpriv >/dev/null; then
    echo "--- policy enforcement skipped (needs root and setpriv)"
    exit 0
fi
step "policies on a bus that reads only them"
start_bus "$policy_dir"
start_daemon "$dest/bin/qz-swu-daemon" "$dest/bin/qz-swu"
target "$dest/bin/qz-swu" cabinet progress 1 >/dev/null || fail "root may not call the daemon"
setpriv --reuid=65534 --regid=65534 --clear-groups ${QZ_TARGET_EMULATOR:-} "$dest/bin/qz-swu" cabinet progress 2 \
    >/dev/null 2>"$work/nobody.err" && fail "a user outside the group called the daemon"
grep -q "cabinet progress 2 not sent: the bus refused the call" "$work/nobody.err" ||
    fail "unexpected refusal text: $(cat "$work/nobody.err")"
grep -q '"value":1[,}]' "$work/journal" || fail "the daemon did not record root's call"
grep -q '"value":2[,}]' "$work/journal" && fail "the daemon received the other user's call"
echo "install checks passed"
