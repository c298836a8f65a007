#!/usr/bin/env bash
# Builds the Debian packages with cpack and checks them: the four packages
# with the files and relations each should have, no lintian error, the
# unit's systemd exposure score, and a throwaway root made with "dpkg -x":
# the runtime and dev packages alone let find_package configure a consumer;
# with the simulator's stand-ins and daemon added, the consumer builds with
# pkg-config and with find_package and runs against that daemon.
#   check-packages.sh BUILD-DIR CONSUMER-SOURCE-DIR
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build_dir="$1"
consumer_src="$2"
root="$work/root"
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")"
runtime=libqz-swupgrade-interface1
dev=libqz-swupgrade-interface-dev
tools=qz-swu-tools
simulator=qz-swu-simulator
max_exposure=2.5

for tool in cpack dpkg-deb dpkg-shlibdeps lintian systemd-analyze; do
    command -v "$tool" >/dev/null || fail "$tool is needed (scripts/deps installs it)"
done

step "cpack -G DEB (version $version)"
quietly "cpack failed" cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$work/packages"
declare -A deb
for file in "$work/packages"/*.deb; do
    deb["$(dpkg-deb -f "$file" Package)"]="$file"
done
[[ "$(printf '%s\n' "${!deb[@]}" | sort | tr '\n' ' ')" == "$dev $runtime $simulator $tools " ]] ||
    fail "packages are: ${!deb[*]}"

field() { dpkg-deb -f "${deb[$1]}" "$2"; }
contents() { dpkg-deb -c "${deb[$1]}" | awk '{print $6}'; }
# Fails unless PACKAGE has (has) or lacks (lacks) a path matching REGEX.
has() { contents "$1" | grep -qE "$2" || fail "$1 lacks $2"; }
lacks() { ! contents "$1" | grep -qE "$2" || fail "$1 holds $(contents "$1" | grep -E "$2" | head -1)"; }

step "what each package holds"
for package in "${!deb[@]}"; do
    [[ "$(field "$package" Version)" == "$version" ]] || fail "$package has version $(field "$package" Version)"
    has "$package" "^\./usr/share/doc/$package/copyright$"
    has "$package" "^\./usr/share/doc/$package/changelog\.gz$"
    lacks "$package" '^\./usr/local/|/LICENSE$'
done
has $runtime '/libqz-swupgrade-interface\.so\.1$'
has $runtime '/dbus-1/system\.d/com\.kestova\.orvel\.qz\.swu\.interface\.conf$'
has $runtime '/sysusers\.d/qz-swu\.conf$'
lacks $runtime '\.so$|/include/|/bin/|libqz-platform|daemon'
has $dev '/include/qz-swupgrade-interface/SWUpgradeInterface\.h$'
has $dev '/pkgconfig/qz-swupgrade-interface\.pc$'
has $dev '/cmake/qz-swupgrade-interface/qz-swupgrade-interfaceConfigVersion\.cmake$'
has $dev '/libqz-swupgrade-interface\.so$'
has $dev '/share/dbus-1/interfaces/interface\.corvanemessage\.xml$'
lacks $dev '\.so\.[0-9]|/bin/|libqz-platform|/include/qz-platform/'
has $tools '^\./usr/bin/qz-swu$'
lacks $tools '/lib/|daemon'
has $simulator '^\./usr/bin/qz-swu-daemon$'
has $simulator '^\./usr/lib/systemd/system/qz-swu-daemon\.service$'
has $simulator '/dbus-1/system\.d/com\.kestova\.orvel\.qz\.swu\.daemon\.conf$'
has $simulator '^\./usr/lib/tmpfiles\.d/qz-swu-simulator\.conf$'
for lib in log kvstore sysinfo; do has $simulator "/libqz-platform-$lib\.so\.1$"; done
lacks $simulator '/bin/qz-swu$|libqz-swupgrade-interface'

step "relations"
for package in $dev $tools $simulator; do
    field "$package" Depends | grep -qF "$runtime (= $version)" || fail "$package does not depend on $runtime (= $version)"
done
field $runtime Depends | grep -q 'libglib2\.0-0' || fail "dpkg-shlibdeps gave $runtime no dependency on GLib"
field $runtime Depends | grep -qw 'qz-swu-platform' || fail "$runtime does not ask for the platform libraries"
field $simulator Provides | grep -qw 'qz-swu-platform' || fail "$simulator does not provide the platform libraries"

step "lintian"
lintian --fail-on error "${deb[@]}" >"$work/lintian.log" 2>&1 || {
    cat "$work/lintian.log" >&2
    fail "lintian reports errors"
}
grep -E '^(W|E):' "$work/lintian.log" | sed 's/^/    /' || true

step "extract runtime and dev into $root"
dpkg -x "${deb[$runtime]}" "$root"
dpkg -x "${deb[$dev]}" "$root"
quietly "find_package fails with the runtime and dev packages alone" \
    cmake -S "$consumer_src" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$root/usr"

step "unit exposure"
dpkg -x "${deb[$simulator]}" "$root"
dpkg -x "${deb[$tools]}" "$root"
unit="$root/usr/lib/systemd/system/qz-swu-daemon.service"
exposure="$(systemd-analyze security --offline=true "$unit" 2>/dev/null |
    sed -n 's/^.*Overall exposure level for [^:]*: \([0-9.]*\).*$/\1/p')"
[[ -n "$exposure" ]] || fail "systemd-analyze gave no exposure for $unit"
awk -v e="$exposure" -v max="$max_exposure" 'BEGIN { exit !(e <= max) }' ||
    fail "the unit's exposure is $exposure, above $max_exposure"
echo "    exposure $exposure"

libdir="$(dirname "$(find "$root" -name libqz-swupgrade-interface.so.1)")"
export LD_LIBRARY_PATH="$libdir"
export QZ_PLATFORM_LOG=none

step "consumers built against the extracted packages"
build_consumers "$consumer_src" "$libdir/pkgconfig/qz-swupgrade-interface.pc" "$root" /usr

step "consumers against the packaged daemon"
if [[ "$(id -u)" -eq 0 ]]; then
    system_bus_config "$root/usr/share/dbus-1/system.d" >"$work/bus.conf"
else
    open_bus_config >"$work/bus.conf"
fi
start_bus "$work/bus.conf"
start_daemon "$root/usr/bin/qz-swu-daemon" "$root/usr/bin/qz-swu"
run_consumers --daemon
[[ "$(grep -c '"value":7[,}]' "$work/journal")" -eq 2 ]] ||
    fail "the daemon did not record both consumers' calls"
echo "package checks passed"
