#!/usr/bin/env bash
# Compares the library's exported dynamic symbols (demangled, without
# addresses and kinds) with the intended list.
#   check-symbols.sh LIBRARY EXPECTED-LIST
set -euo pipefail

library="$1"
expected="$2"
actual="$(mktemp)"
trap 'rm -f "$actual"' EXIT

# Constructors and destructors appear once per ABI variant; one line each.
nm -D --defined-only -C "$library" | cut -d' ' -f3- | LC_ALL=C sort -u >"$actual"

if [[ ! -s "$actual" ]]; then
    echo "no exported symbols read from $library" >&2
    exit 1
fi

if ! diff_out="$(diff <(LC_ALL=C sort -u "$expected") "$actual")"; then
    echo "exported symbols differ from $expected" >&2
    echo "(> exported but not intended, < intended but missing)" >&2
    echo "$diff_out" >&2
    exit 1
fi
echo "exported symbols: $(wc -l <"$actual") as intended"
