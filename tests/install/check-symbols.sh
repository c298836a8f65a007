#!/usr/bin/env bash
# Compares the library's exported dynamic symbols, each with its symbol
# version, with the intended list ("VERSION symbol", demangled, one a line).
#   check-symbols.sh LIBRARY EXPECTED-LIST
set -euo pipefail

library="$1"
expected="$2"
actual="$(mktemp)"
trap 'rm -f "$actual"' EXIT

# nm prints "name@@VERSION" for the default version of a symbol, "name@VERSION"
# for a hidden one and the bare name for an unversioned one, which is listed
# as "unversioned". The version nodes' own definitions (absolute symbols) are
# left out. Constructors and destructors appear once per ABI variant; one
# line each.
nm -D --defined-only -C --with-symbol-versions "$library" | awk '$2 != "A"' | cut -d' ' -f3- |
    awk '{
        name = $0; version = "unversioned"
        at = index(name, "@")
        if (at > 0) {
            version = substr(name, at); sub(/^@+/, "", version)
            name = substr(name, 1, at - 1)
        }
        print version " " name
    }' | LC_ALL=C sort -u >"$actual"

if [[ ! -s "$actual" ]]; then
    echo "no exported symbols read from $library" >&2
    exit 1
fi

if ! diff_out="$(diff <(LC_ALL=C sort -u "$expected") "$actual")"; then
    echo "exported symbols or their versions differ from $expected" >&2
    echo "(> exported but not intended, < intended but missing)" >&2
    echo "$diff_out" >&2
    exit 1
fi
echo "exported symbols: $(wc -l <"$actual") as intended, versions: $(cut -d' ' -f1 "$actual" | sort -u | tr '\n' ' ')"
