#!/usr/bin/env bash
# Builds what korvane.exe links, for 64-bit Windows, from Debian's source packages, with the
# mingw-w64 cross compilers: zlib, OpenSSL, OpenH264 (so the graphics pipeline offers H.264 and
# korvane can pass it through) and FreeRDP 3 with WinPR (client library and the channels korvane
# uses; no X11, Wayland, server or tool parts). Everything is static, so korvane.exe needs only
# the system's DLLs.
#
#   scripts/windows-deps.sh        prints the prefix to give CMake (KORVANE_WINDOWS_PREFIX)
#
# The results are cached outside the work tree, keyed by the versions and this recipe, in
# $KORVANE_WINDOWS_CACHE (default /var/cache/korvane-windows, or ~/.cache/korvane-windows when
# that cannot be written): a second run takes seconds. Installs the cross compilers, nasm and
# Wine when they are missing. The source packages are fetched through a private apt
# configuration; the system's apt sources are not touched.
set -euo pipefail
# The whole script is one function, read in full before it runs: a checkout that changes this
# file while a build is under way cannot derail it.
main() {

openssl_version=3.0.20-1~deb12u2         # bookworm
zlib_version=1:1.2.13.dfsg-1             # bookworm
openh264_version=2.3.1+dfsg-3+deb12u2    # bookworm
freerdp_version=3.15.0+dfsg-2.1+deb13u3  # trixie: bookworm-backports' source is no longer served
recipe=3                                 # bump when an option below changes
jobs=${KORVANE_JOBS:-2}
triple=x86_64-w64-mingw32

log() { echo "[windows-deps] $*" >&2; }

# quietly COMMAND...: runs it with its output in the build log; a failure shows the log's end.
quietly() {
  if ! "$@" >>"$build_log" 2>&1; then
    log "failed: $*; the last lines of $build_log:"
    tail -n 40 "$build_log" >&2
    exit 1
  fi
}

# The cross compilers (POSIX threads, for std::thread), nasm for OpenH264's assembly, Wine to
# run the tests. Installed without the backports preference: Debian 12's own versions.
packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          mingw-w64-x86-64-dev nasm wine wine64 dpkg-dev xz-utils bzip2 unzip perl make cmake)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  log "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  install_log=$(mktemp)
  build_log=$install_log
  quietly $SUDO apt-get update -qq
  quietly $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
  rm -f "$install_log"
fi

cache=${KORVANE_WINDOWS_CACHE:-/var/cache/korvane-windows}
if ! mkdir -p "$cache" 2>/dev/null || [ ! -w "$cache" ]; then
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/korvane-windows
  mkdir -p "$cache"
fi
key=$(printf '%s\n' "$openssl_version" "$zlib_version" "$openh264_version" "$freerdp_version" \
      "$recipe" "$($triple-g++-posix -dumpfullversion)" | sha256sum | cut -c1-16)
root=$cache/$key
prefix=$root/prefix
if [ -f "$root/done" ]; then
  echo "$prefix"
  exit 0
fi

# One build at a time per cache (two test runs may start together).
exec 9>"$cache/.lock"
flock 9
if [ -f "$root/done" ]; then echo "$prefix"; exit 0; fi

started=$SECONDS
build_log=$root/build.log
# Older recipes' results are never used again.
for old in "$cache"/*/; do
  case $(basename "$old") in apt | downloads | "$key") ;; *) rm -rf "$old" ;; esac
done
mkdir -p "$root" "$cache/downloads"
: >"$build_log"
downloads=$cache/downloads

# The Debian mirror the system's apt uses.
# shellcheck source=scripts/debian-mirror.sh
source "$(dirname "${BASH_SOURCE[0]}")/debian-mirror.sh"

# Source packages through a private apt configuration: its own sources, lists and state.
fetch() {  # fetch PACKAGE VERSION: leaves the .orig tarball in $downloads
  local name=$1 version=$2 upstream
  upstream=${version#*:}
  upstream=${upstream%-*}
  if ls "$downloads/${name}_${upstream}.orig.tar."* >/dev/null 2>&1; then return; fi
  local apt=$cache/apt
  if [ ! -f "$apt/updated" ]; then
    mkdir -p "$apt/lists/partial"
    local mirror
    mirror=$(debian_mirror)
    cat >"$apt/src.sources" <<SRC
Types: deb-src
URIs: $mirror
Suites: bookworm bookworm-updates trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    apt-get -o Dir::Etc::sourcelist="$apt/src.sources" -o Dir::Etc::sourceparts=/dev/null \
      -o Dir::State::Lists="$apt/lists" -o APT::Get::List-Cleanup=0 update -qq >>"$build_log" 2>&1
    touch "$apt/updated"
  fi
  log "fetching $name $version"
  # The pool may no longer hold a superseded .dsc while it still serves the tarballs: only the
  # upstream tarball is needed, so a partial download is judged by that file.
  (cd "$downloads" && apt-get -o Dir::Etc::sourcelist="$apt/src.sources" -o Dir::Etc::sourceparts=/dev/null \
      -o Dir::State::Lists="$apt/lists" -o APT::Get::List-Cleanup=0 \
      source --download-only "$name=$version" >/dev/null 2>&1 || true)
  ls "$downloads/${name}_${upstream}.orig.tar."* >/dev/null 2>&1 ||
    { log "could not download the source of $name $version"; exit 1; }
}

unpack() {  # unpack PACKAGE VERSION DIR
  local name=$1 version=$2 dir=$3 upstream
  upstream=${version#*:}
  upstream=${upstream%-*}
  rm -rf "$dir"
  mkdir -p "$dir"
  tar -xf "$(ls "$downloads/${name}_${upstream}.orig.tar."* | grep -v '\.asc$' | head -n 1)" \
    -C "$dir" --strip-components=1
}

for dep in "openssl $openssl_version" "zlib $zlib_version" "openh264 $openh264_version" \
           "freerdp3 $freerdp_version"; do
  # shellcheck disable=SC2086
  fetch $dep
done

build=$root/build
mkdir -p "$build" "$prefix/lib" "$prefix/include"
toolchain=$build/toolchain.cmake
cat >"$toolchain" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER $triple-gcc-posix)
set(CMAKE_CXX_COMPILER $triple-g++-posix)
set(CMAKE_RC_COMPILER $triple-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$triple $prefix)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF

# Chained with &&: under quietly's test, a failing line would not stop a function by itself.
make_zlib() {  # Debian's tarball has no win32 makefiles: the library is fifteen C files.
  local f
  for f in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast \
           inflate inftrees trees uncompr zutil; do
    $triple-gcc-posix -O2 -c "$1/$f.c" -o "$1/$f.o" || return 1
  done
  $triple-ar rcs "$1/libz.a" "$1"/*.o
}

make_openssl() {  # static, without loadable modules: the legacy algorithms are compiled in
  (cd "$1" &&
    ./Configure mingw64 no-shared no-module no-tests no-engine no-dso \
      --cross-compile-prefix=$triple- --prefix="$prefix" --libdir=lib &&
    make -j"$jobs" build_libs && make install_dev)
}

step() {  # step NAME: true when NAME still has to be built
  [ ! -f "$root/$1.done" ]
}

if step zlib; then
  log "building zlib"
  unpack zlib "$zlib_version" "$build/zlib"
  quietly make_zlib "$build/zlib"
  install -m 644 "$build/zlib/libz.a" "$prefix/lib/"
  install -m 644 "$build/zlib/zlib.h" "$build/zlib/zconf.h" "$prefix/include/"
  install -D -m 644 "$build/zlib/LICENSE" "$prefix/licenses/zlib/LICENSE" 2>/dev/null ||
    sed -n '/Copyright (C)/,/madler@alumni.caltech.edu/p' "$build/zlib/zlib.h" \
      | install -D -m 644 /dev/stdin "$prefix/licenses/zlib/LICENSE"
  touch "$root/zlib.done"
fi

if step openssl; then
  log "building OpenSSL"
  unpack openssl "$openssl_version" "$build/openssl"
  quietly make_openssl "$build/openssl"
  install -D -m 644 "$build/openssl/LICENSE.txt" "$prefix/licenses/openssl/LICENSE.txt"
  touch "$root/openssl.done"
fi

if step openh264; then
  log "building OpenH264"
  unpack openh264 "$openh264_version" "$build/openh264"
  quietly make -C "$build/openh264" -j"$jobs" OS=mingw_nt ARCH=x86_64 USE_ASM=Yes \
    CC=$triple-gcc-posix CXX=$triple-g++-posix AR=$triple-ar PREFIX="$prefix" \
    libraries
  quietly make -C "$build/openh264" OS=mingw_nt ARCH=x86_64 USE_ASM=Yes \
    CC=$triple-gcc-posix CXX=$triple-g++-posix AR=$triple-ar PREFIX="$prefix" \
    install-static
  install -D -m 644 "$build/openh264/LICENSE" "$prefix/licenses/openh264/LICENSE"
  touch "$root/openh264.done"
fi

if step freerdp; then
  log "building FreeRDP"
  unpack freerdp3 "$freerdp_version" "$build/freerdp-src"
  # FreeRDP builds for Windows with UNICODE, which makes WinPR's Negotiate and NTLM packages
  # label their handles with wide names that WinPR's own dispatcher then reads as narrow
  # ones: every NLA attempt ends in SEC_E_SECPKG_NOT_FOUND. The labels are made narrow here;
  # the build stops if the lines are not where this expects them (a newer FreeRDP: look again).
  sspi=$build/freerdp-src/winpr/libwinpr/sspi
  [ "$(grep -c 'SetUpperPointer(.*NEGO_SSP_NAME)' "$sspi/Negotiate/negotiate.c")" = 4 ] &&
    [ "$(grep -c 'SetUpperPointer(phNewContext, NTLM_SSP_NAME)' "$sspi/NTLM/ntlm.c")" = 1 ] ||
    { log "WinPR's SSPI handle labels are not as expected: update the patch"; exit 1; }
  sed -i 's/SetUpperPointer(\(.*\)NEGO_SSP_NAME)/SetUpperPointer(\1"Negotiate")/' \
    "$sspi/Negotiate/negotiate.c"
  sed -i 's/SetUpperPointer(phNewContext, NTLM_SSP_NAME)/SetUpperPointer(phNewContext, NTLM_PACKAGE_NAME)/' \
    "$sspi/NTLM/ntlm.c"
  off=(WITH_CLIENT_WINDOWS WITH_CLIENT_SDL WITH_CLIENT_SDL2 WITH_CLIENT_SDL3 WITH_X11 WITH_WAYLAND
       WITH_SERVER WITH_SHADOW WITH_PROXY WITH_SAMPLE WITH_PLATFORM_SERVER WITH_WINPR_TOOLS
       WITH_MANPAGES BUILD_TESTING WITH_FFMPEG WITH_DSP_FFMPEG WITH_SWSCALE WITH_VIDEO_FFMPEG
       WITH_MEDIA_FOUNDATION WITH_CAIRO WITH_FUSE WITH_KRB5 WITH_PCSC WITH_SMARTCARD_EMULATE
       WITH_CUPS WITH_JPEG WITH_WEBVIEW WITH_AAD WITH_OPUS WITH_FAAC WITH_FAAD2 WITH_SOXR
       WITH_LAME WITH_GSM USE_UNWIND WITH_RDTK WITH_UWAC WITH_OPENCL WITH_URIPARSER
       CHANNEL_URBDRC CHANNEL_REMDESK CHANNEL_TSMF CHANNEL_RDPECAM
       CHANNEL_SMARTCARD CHANNEL_PRINTER CHANNEL_SERIAL CHANNEL_PARALLEL CHANNEL_RDPEMSC
       CHANNEL_SSHAGENT CHANNEL_RDP2TCP)
  args=()
  for o in "${off[@]}"; do args+=("-D$o=OFF"); done
  quietly cmake -S "$build/freerdp-src" -B "$build/freerdp" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DWITH_CLIENT=ON -DWITH_CLIENT_COMMON=ON -DWITH_CLIENT_CHANNELS=ON -DWITH_CHANNELS=ON \
    -DWITH_OPENH264=ON -DOPENH264_ROOT="$prefix" \
    -DWITH_INTERNAL_MD4=ON -DWITH_INTERNAL_RC4=ON -DWITH_NATIVE_SSPI=OFF \
    -DOPENSSL_ROOT_DIR="$prefix" -DOPENSSL_USE_STATIC_LIBS=ON \
    -DZLIB_ROOT="$prefix" -DZLIB_LIBRARY="$prefix/lib/libz.a" -DZLIB_INCLUDE_DIR="$prefix/include" \
    "${args[@]}"
  quietly cmake --build "$build/freerdp" -j "$jobs"
  quietly cmake --install "$build/freerdp"
  install -D -m 644 "$build/freerdp-src/LICENSE" "$prefix/licenses/freerdp/LICENSE"
  touch "$root/freerdp.done"
fi

cp "$toolchain" "$prefix/toolchain.cmake"
rm -rf "$build"
touch "$root/done"
log "done in $((SECONDS - started)) s: $prefix"
echo "$prefix"
}
main "$@"; exit  # on one line: bash has read it whole before main runs
