#!/usr/bin/env bash
# The Debian packages cpack builds: the five packages with the files (man pages and completion
# included), relations and maintainer scripts each should have, no lintian error, the unit's systemd exposure
# score; extracted with "dpkg -x", the runtime and dev packages alone let find_package
# configure a consumer, and with the simulator added the consumer builds both ways and runs
# against the packaged daemon.
#   check-packages.sh BUILD-DIR CONSUMER-SOURCE-DIR
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

root="$work/root"
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt")"
runtime=libqz-swupgrade-interface1
dev=libqz-swupgrade-interface-dev
tools=qz-swu-tools
platform=qz-swu-platform-standins
simulator=qz-swu-simulator
max_exposure=2.5

for tool in cpack dpkg-deb dpkg-shlibdeps lintian systemd-analyze; do
    command -v "$tool" >/dev/null || fail "$tool is needed (scripts/deps installs it)"
done

step "cpack -G DEB (version $version)"
quietly "cpack failed" cpack --config "$1/CPackConfig.cmake" -G DEB -B "$work/packages"
declare -A deb
for file in "$work/packages"/*.deb; do
    deb["$(dpkg-deb -f "$file" Package)"]="$file"
done
[[ "$(printf '%s\n' "${!deb[@]}" | sort | tr '\n' ' ')" == "$dev $runtime $platform $simulator $tools " ]] ||
    fail "packages are: ${!deb[*]}"

field() { dpkg-deb -f "${deb[$1]}" "$2"; }
# The listing is read to its end (no "grep -q"): a reader that stops early would kill
# dpkg-deb with SIGPIPE, which pipefail reports as a failure.
contents() { dpkg-deb -c "${deb[$1]}" | awk '{print $6}'; }
# has PACKAGE REGEX...: fails unless PACKAGE has a path matching each REGEX; lacks: none.
has() {
    local package="$1" regex
    shift
    for regex; do contents "$package" | grep -E "$regex" >/dev/null || fail "$package lacks $regex"; done
}
lacks() {
    local held
    held="$(contents "$1" | grep -E "$2" || true)"
    [[ -z "$held" ]] || fail "$1 holds ${held%%$'\n'*}"
}

step "what each package holds"
for package in "${!deb[@]}"; do
    [[ "$(field "$package" Version)" == "$version" ]] || fail "$package has version $(field "$package" Version)"
    has "$package" "^\./usr/share/doc/$package/copyright$" "^\./usr/share/doc/$package/changelog\.gz$"
    lacks "$package" '^\./usr/local/|/LICENSE$'
done
has $runtime '/libqz-swupgrade-interface\.so\.1$' '/sysusers\.d/qz-swu\.conf$' \
    '/dbus-1/system\.d/com\.kestova\.orvel\.qz\.swu\.interface\.conf$'
lacks $runtime '\.so$|/include/|/bin/|libqz-platform|daemon'
has $dev '/include/qz-swupgrade-interface/SWUpgradeInterface\.h$' \
    '/pkgconfig/qz-swupgrade-interface\.pc$' '/libqz-swupgrade-interface\.so$' \
    '/cmake/qz-swupgrade-interface/qz-swupgrade-interfaceConfigVersion\.cmake$' \
    '/share/dbus-1/interfaces/interface\.corvanemessage\.xml$'
lacks $dev '\.so\.[0-9]|/bin/|libqz-platform|/include/qz-platform/'
# The API reference goes with the headers, when the build made it.
if grep -q '^QZ_BUILD_DOCS:BOOL=ON$' "$1/CMakeCache.txt"; then
    has $dev "^\./usr/share/doc/$dev/html/index\.html$" "^\./usr/share/doc/$dev/html/upgrade_states\.html$"
fi
has $tools '^\./usr/bin/qz-swu$' '/man/man1/qz-swu\.1\.gz$' '/bash-completion/completions/qz-swu$'
lacks $tools '/lib/|daemon'
has $platform /libqz-platform-{log,kvstore,sysinfo}'\.so\.1$' '/include/qz-platform/vconf\.h$'
lacks $platform '/bin/|libqz-swupgrade-interface|daemon|dbus-1'
has $simulator '^\./usr/bin/qz-swu-daemon$' '/man/man8/qz-swu-daemon\.8\.gz$' \
    '^\./usr/lib/systemd/system/qz-swu-daemon\.service$' \
    '^\./usr/share/dbus-1/system\.d/com\.kestova\.orvel\.qz\.swu\.daemon\.conf$' \
    '^\./usr/lib/tmpfiles\.d/qz-swu-simulator\.conf$'
lacks $simulator '/bin/qz-swu$|libqz-swupgrade-interface|libqz-platform|/include/'

step "relations"
for package in $dev $tools $simulator; do
    field "$package" Depends | grep -qF "$runtime (= $version)" || fail "$package does not depend on $runtime (= $version)"
done
field $runtime Depends | grep -q 'libglib2\.0-0' || fail "dpkg-shlibdeps gave $runtime no dependency on GLib"
# The library asks for the virtual package; the stand-ins provide it, and stand alone, so
# that the library and the stand-ins install without the simulator.
field $runtime Depends | grep -qw 'qz-swu-platform' || fail "$runtime does not ask for the platform libraries"
field $runtime Depends | grep -qw "$simulator" && fail "$runtime depends on $simulator"
for relation in Provides Conflicts Replaces; do
    [[ "$(field $platform $relation)" == qz-swu-platform ]] || fail "$platform $relation is not qz-swu-platform"
done
field $platform Depends | grep -q 'qz-swu\|libqz-swupgrade' && fail "$platform depends on $(field $platform Depends)"
[[ -z "$(field $simulator Provides)" ]] || fail "$simulator provides $(field $simulator Provides)"

step "maintainer scripts"
dpkg-deb -e "${deb[$simulator]}" "$work/control-simulator"
postrm="$work/control-simulator/postrm"
expect_present "$postrm" "the simulator's postrm"
grep -q '"$1" = "purge"' "$postrm" || fail "$simulator removes its state other than on purge"
grep -q '/var/lib/qz-swu' "$postrm" && grep -q '/var/lib/qz-kvstore' "$postrm" ||
    fail "$simulator's postrm does not remove the daemon's state and the key-value store"

step "lintian"
quietly "lintian reports errors" lintian --fail-on error "${deb[@]}"
grep -E '^(W|E):' "$work/quietly.log" | sed 's/^/    /' || true

step "extract runtime and dev into $root"
dpkg -x "${deb[$runtime]}" "$root"
dpkg -x "${deb[$dev]}" "$root"
quietly "find_package fails with the runtime and dev packages alone" \
    cmake -S "$2" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$root/usr"

step "unit exposure"
dpkg -x "${deb[$simulator]}" "$root"
dpkg -x "${deb[$tools]}" "$root"
dpkg -x "${deb[$platform]}" "$root"
unit="$root/usr/lib/systemd/system/qz-swu-daemon.service"
exposure="$(systemd-analyze security --offline=true "$unit" 2>/dev/null |
    sed -n 's/^.*Overall exposure level for [^:]*: \([0-9.]*\).*$/\1/p')"
[[ -n "$exposure" ]] || fail "systemd-analyze gave no exposure for $unit"
awk -v e="$exposure" -v max="$max_exposure" 'BEGIN { exit !(e <= max) }' ||
    fail "the unit's exposure is $exposure, above $max_exposure"
echo "    exposure $exposure"

libdir="$(dirname "$(find "$root" -name libqz-swupgrade-interface.so.1)")"
export LD_LIBRARY_PATH="$libdir" QZ_PLATFORM_LOG=none
step "consumers built against the extracted packages"
build_consumers "$2" "$libdir/pkgconfig/qz-swupgrade-interface.pc" "$root" /usr

step "consumers against the packaged daemon"
[[ "$(id -u)" -eq 0 ]] && start_bus "$root/usr/share/dbus-1/system.d" || start_bus
start_daemon "$root/usr/bin/qz-swu-daemon" "$root/usr/bin/qz-swu"
run_consumers --daemon
[[ "$(grep -c '"value":7[,}]' "$work/journal")" -eq 2 ]] ||
    fail "the daemon did not record both consumers' calls"
echo "package checks passed"
