#!/usr/bin/env bash
# Compares the library's exported dynamic symbols, each with its symbol version, with the
# intended list ("VERSION symbol", demangled, one a line).
#   check-symbols.sh LIBRARY EXPECTED-LIST
set -euo pipefail
actual="$(mktemp)"
trap 'rm -f "$actual"' EXIT

# nm prints "name@@VERSION" (default version), "name@VERSION" (hidden) or the bare name
# (listed as "unversioned"). The version nodes (absolute symbols) are left out; constructors
# and destructors, once per ABI variant, make one line each.
nm -D --defined-only -C --with-symbol-versions "$1" | awk '$2 != "A"' | cut -d' ' -f3- |
    awk '{
        name = $0; version = "unversioned"; at = index(name, "@")
        if (at > 0) { version = substr(name, at); sub(/^@+/, "", version); name = substr(name, 1, at - 1) }
        print version " " name
    }' | LC_ALL=C sort -u >"$actual"
[[ -s "$actual" ]] || {
    echo "no exported symbols read from $1" >&2
    exit 1
}
# The list spells size_t as x86-64 does (unsigned long); a 32-bit library's size_t is
# unsigned int, of the same width as its unsigned long.
expected="$(mktemp)"
trap 'rm -f "$actual" "$expected"' EXIT
if readelf -h "$1" | grep -q 'Class:[[:space:]]*ELF32'; then
    sed 's/unsigned long/unsigned int/g' "$2"
else
    cat "$2"
fi | LC_ALL=C sort -u >"$expected"
if ! diff_out="$(diff "$expected" "$actual")"; then
    echo "exported symbols or their versions differ from $2" >&2
    echo "(> exported but not intended, < intended but missing)" >&2
    echo "$diff_out" >&2
    exit 1
fi
echo "exported symbols: $(wc -l <"$actual") as intended, versions: $(cut -d' ' -f1 "$actual" | sort -u | tr '\n' ' ')"
