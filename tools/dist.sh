#!/usr/bin/env bash
# make dist: packs the Windows build into out/Kestrelix-<version>-win64.zip.
# The zip holds the program, its modules, kxtool, the flash-loader images, the demo firmware, the
# manual and a README for Windows users. Every executable and DLL is checked for a
# version resource, and Kestrelix.exe for its manifest, before anything is packed.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(Kestrelix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "dist: no version in CMakeLists.txt" >&2; exit 1; }
name="Kestrelix-$version-win64"
src=out/win64
stage=build/dist/$name
zip_path=out/$name.zip

[ -f "$src/Kestrelix.exe" ] || { echo "dist: $src/Kestrelix.exe missing (make win64 first)" >&2; exit 1; }
[ -d "$src/loaders" ] || { echo "dist: $src/loaders missing (make loaders first)" >&2; exit 1; }
rm -rf "build/dist" "$zip_path"
mkdir -p "$stage"
# The user's tree, named file by file: the program, its modules, the command-line tool, the
# loaders and the demo firmware. Whatever else a developer's runs leave in out/win64 (a log file
# beside the exe, a gdbremote.ini, screenshots) and the test programs stay out.
mkdir -p "$stage/dll" "$stage/loaders"
cp "$src/Kestrelix.exe" "$src/kxtool.exe" "$stage/"
cp "$src"/dll/*.dll "$stage/dll/"
cp "$src"/loaders/*.stldr "$stage/loaders/"
for elf in demo.elf demo_qemu.elf; do
    if [ -f "$src/$elf" ]; then cp "$src/$elf" "$stage/"; fi
done
cp resources/manual.md "$stage/使用手册.md"
# Notepad-friendly: byte-order mark and CRLF line ends.
{ printf '\xEF\xBB\xBF'; sed -e "s/@VERSION@/$version/" -e 's/$/\r/' docs/README-windows.txt; } > "$stage/README.txt"

/usr/bin/python3 tools/pe_resources.py --require-version --version "$version" --manifest Kestrelix.exe "$stage"
# Python's zipfile marks non-ASCII names as UTF-8 (flag bit 11), which Explorer and 7-Zip honour;
# an unmarked name ("使用手册.md") would be read in the user's OEM code page and come out garbled.
/usr/bin/python3 - "build/dist" "$name" "$zip_path" <<'PY'
import os, sys, zipfile
base, name, out = sys.argv[1:4]
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
    for folder, dirs, files in os.walk(os.path.join(base, name)):
        dirs.sort()
        for f in sorted(files):
            path = os.path.join(folder, f)
            z.write(path, os.path.relpath(path, base))
PY
echo "dist: $zip_path ($(du -k "$zip_path" | cut -f1) KB)"
