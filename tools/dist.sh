#!/usr/bin/env bash
# make dist: packs the Windows build into out/Kestrelix-<version>-win64.zip.
# The zip holds the program tree as out/win64 has it (without the test programs), the flash-loader
# images, the manual and a README for Windows users. Every executable and DLL is checked for a
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
# The user's tree: the program, its modules, tools, loaders and the demo firmware; not tests/.
for item in "$src"/*; do
    case "$(basename "$item")" in
        tests|testmods) ;;
        *) cp -r "$item" "$stage/" ;;
    esac
done
cp resources/manual.md "$stage/使用手册.md"
# Notepad-friendly: byte-order mark and CRLF line ends.
{ printf '\xEF\xBB\xBF'; sed -e "s/@VERSION@/$version/" -e 's/$/\r/' docs/README-windows.txt; } > "$stage/README.txt"

/usr/bin/python3 tools/pe_resources.py --require-version --manifest Kestrelix.exe "$stage"
(cd build/dist && zip -qr -X "../../$zip_path" "$name")
echo "dist: $zip_path ($(du -k "$zip_path" | cut -f1) KB)"
