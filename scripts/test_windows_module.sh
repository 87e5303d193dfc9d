#!/usr/bin/env bash
# Compiles and links the whole extension for 64-bit Windows with MinGW-w64, against
# CPython 3.11's Windows headers (Include/ and PC/pyconfig.h from Debian's python3.11
# source package) and an import library for python311.dll made with dlltool, with the
# MinGW options of build_options.txt. Then checks with objdump that the .pyd exports
# only PyInit_crypto and imports nothing but python311.dll and Windows' own DLLs:
# CPython for Windows ships none of MinGW's runtime DLLs. The module is only built
# here; no Windows CPython runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_cross.sh
qox_install_cross_packages
root=$PWD
work=$root/build/windows
cxx=x86_64-w64-mingw32-g++-posix
python_version=3.11
python_dll=python${python_version/./}.dll
mkdir -p "$work"

# Include/ and pyconfig.h, kept in build/windows/ across runs. Debian's source package
# comes through an apt configuration of this script's own (a deb-src entry for the
# main archive), so the system's sources and package lists stay as they are.
headers=$work/cpython-$python_version
if [ ! -f "$headers/pc/pyconfig.h" ]; then
  echo "--- CPython $python_version's Windows headers from Debian's source package"
  source /etc/os-release
  mirror=$(apt-get indextargets --format '$(REPO_URI)' "Release: $VERSION_CODENAME" \
             "Identifier: Packages" "Component: main" | head -n1)
  apt_dir=$work/apt
  rm -rf "$apt_dir" "$headers"
  mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$headers/pc"
  printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
    "${mirror:-http://deb.debian.org/debian/}" "$VERSION_CODENAME" \
    /usr/share/keyrings/debian-archive-keyring.gpg > "$apt_dir/parts/deb-src.sources"
  own_apt=(-qq -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt_dir/parts"
           -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
           -o APT::Sandbox::User=root)
  apt-get "${own_apt[@]}" update
  (cd "$apt_dir" && apt-get "${own_apt[@]}" source --download-only "python$python_version" >/dev/null)
  # Only the headers are unpacked from the upstream tarball.
  tar -xf "$apt_dir"/python"$python_version"_*.orig.tar.* -C "$headers" --strip-components=1 \
    --wildcards '*/Include/*' '*/PC/pyconfig.h'
  mv "$headers/PC/pyconfig.h" "$headers/pc/pyconfig.h"
  rm -rf "$apt_dir" "$headers/PC"
fi

echo "--- compiling sources.txt with $cxx"
mapfile -t compile_options < <(python3 build_options.py mingw standard release compile)
mapfile -t link_options < <(python3 build_options.py mingw link runtime)
[ ${#compile_options[@]} -gt 0 ] && [ ${#link_options[@]} -gt 0 ] ||
  { echo "build_options.txt gave no MinGW options"; exit 1; }
rm -rf "$work/obj" && mkdir -p "$work/obj/engine" "$work/obj/module" "$work/obj/stream"
# Two at a time, each into obj/<kind>/ under a name made of its path: the engine, the
# module's own sources and those of the package layer's binding (_engine).
awk '$1 == "engine" || $1 == "module" || $1 == "stream" { print $1 "/" $2 }' sources.txt |
  xargs -P 2 -I{} sh -c 'source=${1#*/} object=$2/${1%%/*}/$(echo "${1#*/}" | tr / _).o
                         shift 2; exec "$0" "$@" -c "$source" -o "$object"' \
    "$cxx" {} "$work/obj" "${compile_options[@]}" -I src -I "$headers/Include" -I "$headers/pc"

# The import library lists what the objects take from the interpreter's DLL: the
# __imp_ references of the C API's dllimport declarations, and the few function
# addresses taken in static initialisers, which go through the library's thunks.
# It is named and linked as setuptools links CPython's own libs/python311.lib.
{
  echo "LIBRARY $python_dll"
  echo "EXPORTS"
  x86_64-w64-mingw32-nm -u "$work"/obj/*/*.o | awk '{ print $NF }' |
    sed -n 's/^\(__imp_\)\{0,1\}\(_\{0,1\}Py[A-Za-z0-9_]*\)$/\2/p' | sort -u
} > "$work/python.def"
mkdir -p "$work/libs"
x86_64-w64-mingw32-dlltool -m i386:x86-64 -d "$work/python.def" -l "$work/libs/${python_dll%.dll}.lib"

# Links one extension from the engine's objects and those of its own kind, then checks
# that it exports its module entry alone and imports nothing but Python and Windows.
check_pyd() {
  local name=$1 kind=$2 pyd=$work/$1.cp${python_version/./}-win_amd64.pyd
  echo "--- linking $(basename "$pyd") ($(($(wc -l < "$work/python.def") - 2)) symbols of $python_dll)"
  "$cxx" -shared -o "$pyd" "$work"/obj/engine/*.o "$work"/obj/"$kind"/*.o -L "$work/libs" \
    -l "${python_dll%.dll}" "${link_options[@]}" || return 1
  x86_64-w64-mingw32-objdump -p "$pyd" > "$work/objdump.txt"
  local exports imports status=0
  exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$work/objdump.txt" |
              awk '/^\t\[/ { print $NF }')
  imports=$(awk '/DLL Name:/ { print $3 }' "$work/objdump.txt")
  echo "exports: $(echo $exports)"
  echo "imports: $(echo $imports)"
  [ "$exports" = "PyInit_$name" ] || { echo "FAIL: $name must export PyInit_$name alone"; status=1; }
  for dll in $imports; do
    case "${dll,,}" in
      "${python_dll,,}" | kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll) ;;
      *) echo "FAIL: $dll is neither the Python DLL nor part of Windows"; status=1 ;;
    esac
  done
  return $status
}

status=0
check_pyd crypto module || status=1
check_pyd _engine stream || status=1
[ $status -eq 0 ] && echo "Windows modules built: exports and imports as required"
exit $status
