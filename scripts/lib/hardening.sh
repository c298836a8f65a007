# Hardening stages for scripts/test, which sources this file after setting
# ROOT, BUILD_DIR, JOBS and STAGES:
#
#   valgrind  memcheck over the client test executables of BUILD_DIR
#   fuzz      every libFuzzer target for QZ_FUZZ_SECONDS (default 20) each
#   asan      the whole suite built and run with ASan + UBSan (build-asan)
#   tsan      the concurrency tests built and run with TSan (build-tsan)
#
# QZ_TEST_QUICK=1 leaves them all out (for a fast local loop); CI runs them.
# Each stage prints its count of passed and failed runs and its duration.

ASAN_DIR="${QZ_ASAN_BUILD_DIR:-$ROOT/build-asan}"
TSAN_DIR="${QZ_TSAN_BUILD_DIR:-$ROOT/build-tsan}"
FUZZ_SECONDS="${QZ_FUZZ_SECONDS:-20}"
# Executables that drive the client library; the daemon and platform tests
# exercise other code and are covered by the sanitizer stages.
VALGRIND_TESTS="${QZ_VALGRIND_TESTS:-SWUInterfaceData_test SWUpgradeInterface_test SWUpgradeRequests_test SWUpgradeCabinet_test SWUpgradeVersion_test SWUpgradeOTA_test FaultInjection_test BusLoss_test}"
# Tests with more than one thread touching the client at once (the OTA
# writers, alone and against the daemon; callers across a bus restart).
TSAN_TESTS="${QZ_TSAN_TESTS:-SWUpgradeOTA_test BusLoss_test}"

if [[ "${QZ_TEST_QUICK:-0}" != 1 ]]; then
    STAGES+=(valgrind fuzz asan tsan)
fi

# Runs one gtest executable under memcheck, once for the cases that need the
# bus and once for the "NoBus" ones, as CTest does. Valgrind's own summary
# goes to <build>/valgrind/<name>*.log. The silent-daemon case only waits out
# the bus time-out (25 s) on a path the absent-daemon cases already cover.
valgrind_one() {
    local exe="$1" name="${1##*/}" out="$BUILD_DIR/valgrind"
    local -a memcheck=(valgrind --tool=memcheck --error-exitcode=97 --leak-check=full
        --errors-for-leak-kinds=definite --show-leak-kinds=definite --num-callers=30
        --suppressions="$ROOT/tests/valgrind.supp" --child-silent-after-fork=yes)
    "${memcheck[@]}" --log-file="$out/$name.log" "$exe" --gtest_filter='-NoBus*:Slow*' \
        >"$out/$name.out" 2>&1 || return 1
    [[ -n "$("$exe" --gtest_list_tests --gtest_filter='NoBus*' | grep '^ ')" ]] || return 0
    QZ_TEST_NO_BUS=1 "${memcheck[@]}" --log-file="$out/$name-nobus.log" "$exe" \
        --gtest_filter='NoBus*' >"$out/$name-nobus.out" 2>&1 || return 1
}

stage_valgrind() {
    local passed=0 failed=0 name start=$SECONDS
    mkdir -p "$BUILD_DIR/valgrind"
    for name in $VALGRIND_TESTS; do
        local exe="$BUILD_DIR/tests/$name"
        if [[ ! -x "$exe" ]]; then
            failed=$((failed + 1))
            echo "valgrind $name: FAILED, no such test executable in $BUILD_DIR/tests"
        elif valgrind_one "$exe"; then
            passed=$((passed + 1))
            echo "valgrind $name: clean ($(definitely_lost "$name"))"
        else
            failed=$((failed + 1))
            echo "valgrind $name: FAILED, see $BUILD_DIR/valgrind/$name*.{log,out}"
            grep -hE 'Invalid (read|write)|definitely lost|ERROR SUMMARY|FAILED' \
                "$BUILD_DIR/valgrind/$name"*.log "$BUILD_DIR/valgrind/$name"*.out | head -10 || true
        fi
    done
    echo "valgrind: $((SECONDS - start)) s"
    echo "valgrind: $passed passed, $failed failed"
    [[ $failed -eq 0 && $passed -gt 0 ]]
}

# "definitely lost: N bytes" summed over both runs of one executable.
definitely_lost() {
    local bytes
    bytes="$(grep -hoE 'definitely lost: [0-9,]+ bytes' "$BUILD_DIR/valgrind/$1"*.log |
        tr -d , | awk '{sum += $3} END {print sum + 0}')"
    echo "definitely lost: $bytes bytes"
}

stage_fuzz() {
    local start=$SECONDS status=0
    "$ROOT/scripts/fuzz" "$FUZZ_SECONDS" || status=$?
    echo "fuzz: build and run in $((SECONDS - start)) s"
    return $status
}

# The install tests (Install*) build outside consumers with plain flags,
# which cannot load an ASan-built library; installation is checked by the
# unit stage.
stage_asan() {
    local start=$SECONDS status=0
    cmake -S "$ROOT" -B "$ASAN_DIR" -DCMAKE_BUILD_TYPE=Debug -DQZ_SANITIZE=address,undefined \
        -DQZ_BUILD_BENCH=OFF >/dev/null
    cmake --build "$ASAN_DIR" -j "$JOBS" >/dev/null
    ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        ctest --test-dir "$ASAN_DIR" --output-on-failure -j2 -E '^Install' || status=$?
    echo "asan: build and run in $((SECONDS - start)) s"
    return $status
}

stage_tsan() {
    local -a targets=(qz-swu-daemon) pattern=()
    local name start=$SECONDS status=0
    for name in $TSAN_TESTS; do
        targets+=("$name")
        pattern+=("^${name}(_nobus)?\$")
    done
    cmake -S "$ROOT" -B "$TSAN_DIR" -DCMAKE_BUILD_TYPE=Debug -DQZ_SANITIZE=thread \
        -DQZ_BUILD_BENCH=OFF >/dev/null
    cmake --build "$TSAN_DIR" -j "$JOBS" --target "${targets[@]}" >/dev/null
    local IFS='|'
    TSAN_OPTIONS="suppressions=$ROOT/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1" \
        ctest --test-dir "$TSAN_DIR" --output-on-failure -j2 -R "${pattern[*]}" || status=$?
    echo "tsan: build and run in $((SECONDS - start)) s"
    return $status
}
