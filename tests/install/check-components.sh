#!/usr/bin/env bash
# With QZ_INSTALL_SIMULATOR=OFF (and only the library and qz-swu built, so an install rule
# that still wanted the daemon fails), a plain install holds the library, its development
# files and the tool, and nothing of the simulator.
#   check-components.sh SOURCE-DIR
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build="$work/build"
root="$work/root"
prefix=/usr/local
dest="$root$prefix"

step "configure with QZ_INSTALL_SIMULATOR=OFF and build qz-swu"
# A build type of no flags: no optimisation and no debug information to wait for.
quietly "configure failed" cmake -S "$1" -B "$build" -DQZ_INSTALL_SIMULATOR=OFF \
    -DQZ_BUILD_TESTS=OFF -DQZ_BUILD_BENCH=OFF -DQZ_BUILD_FUZZ=OFF -DCMAKE_BUILD_TYPE=InstallCheck
quietly "build failed" cmake --build "$build" -j "$(nproc)" --target qz-swu

step "plain install into DESTDIR=$root"
DESTDIR="$root" quietly "cmake --install failed" cmake --install "$build" --prefix "$prefix"
policy_dir="$dest/share/dbus-1/system.d"
libdir="$(dirname "$(find "$dest" -name 'libqz-swupgrade-interface.so.1')")"

for kept in "$libdir"/{libqz-swupgrade-interface.so.1,libqz-swupgrade-interface.so} \
    "$dest/include/qz-swupgrade-interface/SWUpgradeInterface.h" \
    "$libdir/pkgconfig/qz-swupgrade-interface.pc" \
    "$libdir/cmake/qz-swupgrade-interface/qz-swupgrade-interfaceConfig.cmake" \
    "$dest/share/dbus-1/interfaces/interface.corvanemessage.xml" \
    "$dest/bin/qz-swu" "$dest/lib/sysusers.d/qz-swu.conf" \
    "$policy_dir/com.kestova.orvel.qz.swu.interface.conf"; do
    expect_present "$kept" "a file outside the simulator"
done
for left_out in "$dest/bin/qz-swu-daemon" "$dest/lib/systemd/system/qz-swu-daemon.service" \
    "$dest/lib/tmpfiles.d/qz-swu-simulator.conf" \
    "$policy_dir/com.kestova.orvel.qz.swu.daemon.conf" "$dest/include/qz-platform"; do
    expect_absent "$left_out" "a file of the simulator"
done
find "$root" -name 'libqz-platform-*' | grep -q . && fail "platform stand-ins installed: $(find "$root" -name 'libqz-platform-*')"
echo "component checks passed"
