#!/usr/bin/env bash
# The newest interpreters and compiler: a Debian unstable chroot (minbase,
# same architecture) in build/unstable/root, made with debootstrap from the
# mirror apt already uses on this machine, holding python3.14, python3.15 and
# unstable's g++. Inside it the engine's C++ tests run, and the module is
# built for each of the two interpreters and the Python suite runs on it.
#
# The chroot is kept: a second run only refreshes the copy of the sources in
# it and rebuilds what changed. `rm -rf build/unstable` starts from nothing.
# Whatever this script mounts is unmounted on every exit. With --prepare it
# only makes the chroot and installs its packages (the whole suite does that
# in the background while it builds), and builds nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup_debian.sh
qox_install_packages debootstrap rsync

interpreters=(python3.14 python3.15)
packages=(g++ cmake make libgtest-dev libssl-dev binutils python3-pytest python3-pytest-xdist python3-hypothesis
          ccache)  # the engine compiled once for both interpreters
# Wanted where unstable has them: the suite skips or falls back without them.
optional_packages=(python3-cryptography)
for python in "${interpreters[@]}"; do packages+=("$python-dev"); done

stage=$PWD/build/unstable
root=$stage/root
ready=$root/.qox-ready          # written once the packages are in; holds their list
# The registry's copy of unstable is a frozen snapshot whose Release file has expired.
apt_options=(-o Acquire::Check-Valid-Until=false -o Acquire::Check-Date=false -o Dpkg::Use-Pty=0)

# The first Debian archive (not the security one) among apt's sources, in
# either the deb822 or the one-line format.
debian_mirror() {
  local file mirror
  for file in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    mirror=$(awk '
      tolower($1) == "uris:" && $2 !~ /security/ { print $2; exit }
      $1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) break
                    if (i <= NF && $i !~ /security/) { print $i; exit } }' "$file")
    if [ -n "$mirror" ]; then
      echo "$mirror"
      return 0
    fi
  done
  return 1
}

# Every mount point under the chroot, deepest first.
mounts_under_root() {
  awk -v prefix="$root/" 'index($2, prefix) == 1 { print $2 }' /proc/mounts | sort -r
}

unmount_all() {
  local point
  for point in $(mounts_under_root); do
    umount "$point" 2>/dev/null || umount -l "$point" || echo "could not unmount $point" >&2
  done
}
trap unmount_all EXIT
trap 'exit 130' INT TERM HUP

in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
    HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}

make_root() {
  if [ -n "$(mounts_under_root)" ]; then
    echo "something is still mounted under $root; not removing it" >&2
    return 1
  fi
  rm -rf "$root"
  mkdir -p "$stage"
  local mirror
  mirror=$(debian_mirror) || { echo "no Debian mirror found among apt's sources" >&2; return 1; }
  echo "debootstrap: unstable (minbase) from $mirror"
  debootstrap --variant=minbase sid "$root" "$mirror" >"$stage/debootstrap.log" 2>&1 ||
    { tail -n 30 "$stage/debootstrap.log"; return 1; }
  echo "debootstrap: $SECONDS s"
  unmount_all  # debootstrap's own mounts, should it have left any
}

install_packages() {
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  in_root apt-get "${apt_options[@]}" update -qq
  local available=()
  local package
  for package in "${optional_packages[@]}"; do
    if in_root apt-cache policy "$package" 2>/dev/null | grep -q "Candidate: [0-9]"; then
      available+=("$package")
    else
      echo "unstable has no $package; going without it"
    fi
  done
  in_root apt-get "${apt_options[@]}" install -y -qq --no-install-recommends \
    "${packages[@]}" "${available[@]}" >"$stage/apt.log" 2>&1 ||
    { tail -n 30 "$stage/apt.log"; return 1; }
  in_root apt-get clean
  echo "packages in place: $SECONDS s"
  printf '%s\n' "${packages[@]}" >"$ready"
}

unmount_all  # what a killed earlier run may have left
if [ ! -f "$ready" ]; then
  make_root
fi
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
if [ ! -f "$ready" ] || [ "$(cat "$ready")" != "$(printf '%s\n' "${packages[@]}")" ]; then
  install_packages
fi
[ "${1:-}" = --prepare ] && exit 0

# The sources go in as a copy, the builds live next to it in /build and are
# kept. Only files whose content changed are copied, and they get the time of
# copying: an unchanged file keeps the time its objects were built from, and a
# changed one is always newer than them, however old its own time is.
mkdir -p "$root/qox" "$root/build"
rsync --recursive --links --perms --checksum --delete --exclude=/build --exclude=/.git \
  --exclude='*.so' --exclude=__pycache__ ./ "$root/qox/"

echo "=== unstable: $(in_root g++ --version | head -n 1)"
failures=()
build() {  # interpreter, tag, C++ tests ON/OFF
  in_root cmake -S /qox -B "/build/$2" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="/usr/bin/$1" \
    -DQOX_BUILD_CPP_TESTS="$3" -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >"$stage/$2.configure.log" 2>&1 ||
    { cat "$stage/$2.configure.log"; return 1; }
  in_root cmake --build "/build/$2" -j "$(nproc)"
}
for index in "${!interpreters[@]}"; do
  python=${interpreters[$index]}
  tag=${python//./}
  cpp_tests=OFF
  [ "$index" -eq 0 ] && cpp_tests=ON  # the engine does not depend on the interpreter
  echo "=== unstable: $(in_root "$python" --version)"
  if build "$python" "$tag" "$cpp_tests" &&
     { [ "$cpp_tests" = OFF ] || in_root ctest --test-dir "/build/$tag" --output-on-failure -j "$(nproc)"; } &&
     in_root sh -c "cd /qox && exec $python -m pytest tests/python -q -p no:cacheprovider -n $(nproc)"; then :
  else failures+=("$python"); fi
done

echo "unstable: $SECONDS s in all"
if [ ${#failures[@]} -ne 0 ]; then
  echo "unstable FAILED on: ${failures[*]}"
  exit 1
fi
