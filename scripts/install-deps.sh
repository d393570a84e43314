#!/usr/bin/env bash
# Installs the Debian packages that building, testing and demonstrating Quillon need.
# Idempotent: when every package is already present it touches nothing and needs no root;
# otherwise it runs `apt-get update` once and installs only what is missing.
#
#   scripts/install-deps.sh            the native (Linux) build
#   scripts/install-deps.sh --windows  the Windows build: MinGW-w64 cross compiler, Wine, and a prefix
#                                      of cross-built dependencies (see install_windows_prefix below)
set -euo pipefail

mode=native
case "${1:-}" in
  "") ;;
  --windows) mode=windows ;;
  *) echo "usage: $0 [--windows]" >&2; exit 2 ;;
esac

if [[ $mode == native ]]; then
  packages=(
    build-essential cmake ninja-build pkg-config
    clang libclang-rt-14-dev clang-format
    libgtest-dev libgmock-dev libbenchmark-dev
    zlib1g-dev libminizip-dev libasio-dev libserialport-dev libcli11-dev
    zip unzip python3
    # the Python package: its tests, and installing it into a virtual environment
    python3-pytest python3-venv python3-pip python3-setuptools python3-wheel
    # make bench: the TFTP server and client it compares against, its chart, `ip` to bring up
    # loopback in the network namespace it runs the library in, and GNU time for the tool's peak
    # memory
    tftpd-hpa curl gnuplot-nox iproute2 time
  )
else
  packages=(
    cmake ninja-build pkg-config make
    g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
    # header-only on both sides; the GoogleTest sources are cross-built into the prefix
    libasio-dev libcli11-dev googletest
    wine wine64
    # apt-get source unpacks with dpkg-source
    dpkg-dev xz-utils
  )
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi
need_root() {
  if [[ ${#sudo[@]} -gt 0 ]] && ! command -v sudo >/dev/null; then
    echo "install-deps: need root (or sudo) to $1" >&2
    exit 1
  fi
}

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if [[ ${#missing[@]} -gt 0 ]]; then
  echo "install-deps: installing ${missing[*]}"
  need_root "install: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

if [[ $mode == native ]]; then
  exit 0
fi

# ---- The Windows prefix --------------------------------------------------------------------------
# Debian packages no MinGW build of minizip or GoogleTest, so both are built here from Debian's own
# sources with the cross compiler: minizip from the `minizip` source package (apt-get source, through
# deb-src entries that live only in a temporary apt configuration), GoogleTest from the `googletest`
# package's /usr/src/googletest. The prefix also links asio's and CLI11's headers from the Debian
# packages, so that the cross build sees them without seeing the rest of /usr/include.
#
# The prefix is /opt/quillon-mingw, or QUILLON_MINGW_PREFIX. A stamp file records what it was built
# from; when that still matches, nothing is done.

prefix=${QUILLON_MINGW_PREFIX:-/opt/quillon-mingw}
here=$(cd "$(dirname "$0")" && pwd)
toolchain="$here/../cmake/toolchains/mingw-w64-x86_64.cmake"

version_of() { dpkg-query -W -f='${Version}' "$1"; }
stamp="recipe 2
minizip $(apt-cache policy minizip 2>/dev/null | awk '/Candidate:/ {print $2}')
googletest $(version_of googletest)
compiler $(version_of g++-mingw-w64-x86-64-posix)
zlib $(version_of libz-mingw-w64-dev)
asio $(version_of libasio-dev)
cli11 $(version_of libcli11-dev)"

if [[ -f "$prefix/quillon-deps.stamp" && "$(cat "$prefix/quillon-deps.stamp")" == "$stamp" ]]; then
  exit 0
fi

echo "install-deps: building the Windows dependencies into $prefix"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage="$work/stage"
mkdir -p "$stage/include" "$stage/lib/pkgconfig" "$stage/share/cmake"
jobs=${JOBS:-2}

# minizip: the source package, fetched through deb-src entries made from the machine's own deb
# entries, in an apt configuration of its own that is thrown away afterwards.
mkdir -p "$work/apt/lists/partial" "$work/src"
{
  for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $list ]] && sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$list"
  done
} >"$work/apt/sources.list"
for sources in /etc/apt/sources.list.d/*.sources; do
  [[ -f $sources ]] && sed 's/^Types:.*/Types: deb-src/' "$sources" >"$work/apt/$(basename "$sources")"
done
apt_src=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o "Dir::Etc::SourceParts=$work/apt"
         -o "Dir::State::Lists=$work/apt/lists" -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
apt-get "${apt_src[@]}" update -qq
(cd "$work/src" && apt-get "${apt_src[@]}" source -qq minizip >/dev/null)
minizip_src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'minizip-*' | head -n 1)
[[ -n $minizip_src ]] || { echo "install-deps: apt-get source minizip gave no source tree" >&2; exit 1; }

# zip.c hands zlib's CRC table (unsigned int) to an unsigned long pointer: the same width on
# Windows, where long is 32 bits, so the warning it draws there says nothing.
cc=x86_64-w64-mingw32-gcc-posix
mkdir -p "$work/minizip" "$stage/include/minizip"
for source in ioapi.c mztools.c unzip.c zip.c iowin32.c; do
  "$cc" -O2 -Wno-incompatible-pointer-types -c "$minizip_src/$source" -o "$work/minizip/${source%.c}.o"
done
x86_64-w64-mingw32-ar rcs "$stage/lib/libminizip.a" "$work/minizip"/*.o
cp "$minizip_src"/{crypt.h,ioapi.h,mztools.h,unzip.h,zip.h,iowin32.h} "$stage/include/minizip/"
# -lz follows -lminizip in every link, whatever else the target links. CMake turns it into the
# first libz it finds on the -L path, so the prefix holds the static one under that name: Quillon.dll
# carries zlib inside instead of needing zlib1.dll beside it.
ln -s /usr/x86_64-w64-mingw32/lib/libz.a "$stage/lib/libz.a"
cat >"$stage/lib/pkgconfig/minizip.pc" <<EOF
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include/minizip

Name: minizip
Description: Minizip zip file manipulation library (cross-built for Windows)
Version: ${minizip_src##*-}
Libs: -L\${libdir} -lminizip -lz
Cflags: -I\${includedir}
EOF

# GoogleTest and GoogleMock, static, with the project's toolchain.
cmake -S /usr/src/googletest -B "$work/googletest" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQUILLON_MINGW_PREFIX="$stage" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$stage" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON \
  -DCMAKE_CROSSCOMPILING_EMULATOR= >/dev/null
cmake --build "$work/googletest" -j "$jobs" >/dev/null
cmake --install "$work/googletest" >/dev/null

# The header-only libraries: their headers by link, CLI11's package file by copy (it finds the
# headers relative to itself).
ln -s /usr/include/asio.hpp /usr/include/asio "$stage/include/"
ln -s /usr/include/CLI "$stage/include/"
cp -r /usr/share/cmake/CLI11 "$stage/share/cmake/"

# GoogleTest's package files name the stage; they must name the prefix.
grep -rl "$stage" "$stage/lib" "$stage/share" 2>/dev/null | while read -r file; do
  sed -i "s|$stage|$prefix|g" "$file"
done
printf '%s\n' "$stamp" >"$stage/quillon-deps.stamp"

copy=()
if [[ -e $prefix && ! -w $prefix ]] || [[ ! -e $prefix && ! -w $(dirname "$prefix") ]]; then
  need_root "write $prefix"
  copy=("${sudo[@]}")
fi
"${copy[@]}" rm -rf "$prefix"
"${copy[@]}" mkdir -p "$prefix"
"${copy[@]}" cp -a "$stage/." "$prefix/"
echo "install-deps: Windows dependencies ready in $prefix"
