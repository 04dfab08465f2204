#!/usr/bin/env bash
# check_kxtool_gdb.sh KXTOOL ELF... - for every variable that "kxtool globals" lists, gdb-multiarch
# must give the same address and size. Names with a namesake in another file are left out (gdb
# picks one of them by its own rules); function statics are asked as function::name.
set -euo pipefail
KXTOOL=$1; shift
command -v gdb-multiarch >/dev/null || { echo "skip: no gdb-multiarch"; exit 0; }
status=0
# Working files go to a private folder: the same images are checked by other builds at the same time.
work=$(mktemp -d "${TMPDIR:-/tmp}/kx_gdb_check.XXXXXX")
trap 'rm -rf "$work"' EXIT
for elf in "$@"; do
    [ -f "$elf" ] || continue
    out="$work/$(basename "$elf")"
    "$KXTOOL" globals "$elf" > "$out.globals"
    names=(); args=()
    twice=" $(arm-none-eabi-nm "$elf" | awk '{print $3}' | sort | uniq -d | tr '\n' ' ') "
    while IFS=$'\t' read -r name address size type from_debug; do
        case "$twice" in *" $name "*) continue ;; esac
        expr=$name
        [ "$name" = tick_calls ] && expr="fw_tick::tick_calls"
        names+=("$name	$address	$size")
        args+=(-ex "print/x (unsigned long long)&$expr" -ex "print sizeof($expr)")
    done < "$out.globals"
    gdb-multiarch -nx -batch "${args[@]}" "$elf" 2>&1 | sed -n 's/^\$[0-9]* = //p' | paste - - |
        awk '{ printf "%s\t%s\n", toupper(substr($1,1,2)) == "0X" ? "0x" toupper(substr($1,3)) : $1, $2 }' > "$out.gdb"
    printf '%s\n' "${names[@]}" | cut -f2,3 > "$out.kx"
    if diff "$out.kx" "$out.gdb" >/dev/null && [ -s "$out.kx" ]; then
        echo "$(basename "$elf"): ${#names[@]} variables agree with gdb"
    else
        echo "$(basename "$elf"): kxtool and gdb differ:"; diff "$out.kx" "$out.gdb" | head -20 || true
        status=1
    fi
done
exit $status
