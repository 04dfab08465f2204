#!/usr/bin/env bash
# check_kxtool_gdb.sh KXTOOL ELF... - for every variable that "kxtool globals" lists, gdb-multiarch
# must give the same address and size when asked by that very name (gdb_leaves.py answers; a
# reference is reported as itself, not as what it refers to). Plain names with a namesake in
# another file are left out: gdb picks one of them by its own rules (the reader names the second
# 'file.c'::name, which is checked).
set -euo pipefail
KXTOOL=$1; shift
HERE=$(cd "$(dirname "$0")" && pwd)
command -v gdb-multiarch >/dev/null || { echo "skip: no gdb-multiarch"; exit 0; }
status=0
# Working files go to a private folder: the same images are checked by other builds at the same time.
work=$(mktemp -d "${TMPDIR:-/tmp}/kx_gdb_check.XXXXXX")
trap 'rm -rf "$work"' EXIT
for elf in "$@"; do
    [ -f "$elf" ] || continue
    out="$work/$(basename "$elf")"
    "$KXTOOL" globals "$elf" > "$out.globals"
    twice=" $(arm-none-eabi-nm "$elf" | awk '{print $3}' | sort | uniq -d | tr '\n' ' ') "
    : > "$out.names"; : > "$out.kx"
    while IFS=$'\t' read -r name address size type from_debug; do
        case "$twice" in *" $name "*) continue ;; esac
        printf '%s\n' "$name" >> "$out.names"
        printf '%d\t%d\n' "$address" "$size" >> "$out.kx"
    done < "$out.globals"
    gdb-multiarch -nx -batch -ex "set \$names_file=\"$out.names\"" -x "$HERE/gdb_leaves.py" "$elf" 2>&1 |
        awk -F'\t' '$1 == "ok" { printf "%s\t%s\n", $2, $3; next } { print "gdb: " $0 }' > "$out.gdb"
    if diff "$out.kx" "$out.gdb" >/dev/null && [ -s "$out.kx" ]; then
        echo "$(basename "$elf"): $(wc -l < "$out.kx") variables agree with gdb"
    else
        echo "$(basename "$elf"): kxtool and gdb differ:"; diff "$out.kx" "$out.gdb" | head -20 || true
        status=1
    fi
done
exit $status
