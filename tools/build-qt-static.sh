#!/usr/bin/env bash
# Makes a static Qt 6 for 64-bit Windows (mingw-w64) from Debian's own
# qt6-base source, so the GUI program can be cross-built as one .exe that
# needs no Qt or compiler DLLs. The build takes 15-30 minutes on two cores, so
# its result is cached as a tar.xz keyed by the Debian versions of qt6-base
# and the mingw compiler (and by this recipe); later runs only unpack it.
#   tools/build-qt-static.sh
# Runs as root unless the prefix is ready (apt, /etc/apt, /var/cache, /opt).
# Progress goes to stderr; the last line on stdout is the Qt prefix:
#   prefix=$(tools/build-qt-static.sh | tail -n1)
# Environment (optional): PLEMO_QT_WORK (build folder, default
# /var/tmp/plemo-qt-build), PLEMO_QT_JOBS (ninja jobs, default: all cores).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
toolchain_src="$here/../cmake/windows/mingw-w64-qt.cmake"
work=${PLEMO_QT_WORK:-/var/tmp/plemo-qt-build}
jobs=${PLEMO_QT_JOBS:-$(nproc)}
cache_dir=/var/cache/plemo
opt_dir=/opt/plemo

say() { echo "build-qt-static: $*" >&2; }

# The Qt modules and features the program needs; everything else is off, to
# keep the build short and the .exe free of DLL dependencies. The two last
# switches are required on Debian's 6.4 source: it lacks wintab.h, and with
# Direct2D off Qt still references the DirectWrite font database at link.
qt_features=(
    -DBUILD_SHARED_LIBS=OFF -DFEATURE_static_runtime=ON
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
    -DFEATURE_gui=ON -DFEATURE_widgets=ON
    -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_vulkan=OFF
    -DFEATURE_dbus=OFF -DFEATURE_sql=OFF -DFEATURE_network=OFF
    -DFEATURE_printsupport=OFF -DFEATURE_testlib=OFF -DFEATURE_concurrent=OFF
    -DFEATURE_xml=OFF -DFEATURE_direct2d=OFF -DFEATURE_pkg_config=OFF
    -DFEATURE_icu=OFF -DFEATURE_glib=OFF -DFEATURE_zstd=OFF
    -DFEATURE_androiddeployqt=OFF -DFEATURE_windeployqt=OFF
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF
    -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF
    -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_textmarkdownreader=OFF
    -DFEATURE_tabletevent=OFF -DFEATURE_directwrite3=OFF
)

"$here/install-deps.sh" build windows >&2

# The host tools (moc, rcc, uic) come from Debian's native Qt, which must be
# the very version of the source we build.
qt_version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev)
gcc_version=$(dpkg-query -W -f='${Version}' gcc-mingw-w64-x86-64-posix)
recipe=$( { printf '%s\n' "${qt_features[@]}"; cat "$toolchain_src"; } | sha256sum | cut -c1-8)
# Debian versions carry '+', '~' and ':', which CMake reads as regex or list
# syntax when a path holding them is matched: keep the key to plain letters.
key=$(echo "$qt_version-$gcc_version-$recipe" | tr '+~:' '___')
name="qt6-static-mingw-$key"
prefix="$opt_dir/$name"
cache="$cache_dir/$name.tar.xz"
ready="$prefix/.plemo-complete"   # written last: a prefix without it is partial

# Ready: nothing to write, so any user may ask.
if [ -f "$ready" ]; then
    echo "$prefix"
    exit 0
fi
[ "$(id -u)" -eq 0 ] || { say "run as root (apt, /var/cache, /opt)"; exit 1; }
mkdir -p "$cache_dir" "$opt_dir"
# One build at a time: a second caller waits, then finds the prefix ready.
exec 9>"$cache_dir/.build-qt-static.lock"
flock 9

if [ -f "$ready" ]; then
    echo "$prefix"
    exit 0
fi
if [ -f "$cache" ]; then
    say "unpacking $cache"
    rm -rf "$prefix"
    tar -C "$opt_dir" -xJf "$cache"
    [ -f "$ready" ] || { say "$cache holds no complete prefix; delete it and run again"; exit 1; }
    echo "$prefix"
    exit 0
fi

# --- Cold path: fetch the source, build, install, cache. ---
# apt must know the source package of the very qt6-base version installed.
"$here/apt-deb-src.sh" >&2
if ! apt-cache showsrc qt6-base 2>/dev/null | grep -xF "Version: $qt_version" >/dev/null; then
    "$here/apt-get.sh" update -qq >&2
fi

mkdir -p "$work/src"
src=$(find "$work/src" -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
if [ -z "$src" ] || [ ! -f "$work/src/.unpacked-$qt_version" ]; then
    say "fetching qt6-base $qt_version source"
    rm -rf "$work/src"
    mkdir -p "$work/src"
    (cd "$work/src" && apt-get source -qq "qt6-base=$qt_version" >&2)
    touch "$work/src/.unpacked-$qt_version"
    src=$(find "$work/src" -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
fi

# The toolchain lives inside the prefix: qt.toolchain.cmake records its path
# and chain-loads it for every program built against this Qt.
rm -rf "$prefix"
mkdir -p "$prefix/lib/cmake/plemo"
toolchain="$prefix/lib/cmake/plemo/mingw-w64-qt.cmake"
cp "$toolchain_src" "$toolchain"

build="$work/build"
log="$work/build.log"
# A build folder from an interrupted run of the same recipe is reused: ninja
# resumes it. One from another recipe is configured afresh.
if [ "$(cat "$build/.plemo-key" 2>/dev/null)" != "$key" ]; then
    rm -rf "$build"
fi
if [ ! -f "$build/build.ninja" ]; then
    say "configuring (log: $log)"
    mkdir -p "$build"
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        "${qt_features[@]}" >"$log" 2>&1 || { tail -n 40 "$log" >&2; exit 1; }
    echo "$key" >"$build/.plemo-key"
fi
say "building with $jobs jobs (log: $log)"
start=$SECONDS
ninja -C "$build" -j"$jobs" >>"$log" 2>&1 || { tail -n 40 "$log" >&2; exit 1; }
say "built in $((SECONDS - start)) s; installing into $prefix"
cmake --install "$build" >>"$log" 2>&1 || { tail -n 40 "$log" >&2; exit 1; }
echo "qt6-base $qt_version, gcc-mingw-w64 $gcc_version, recipe $recipe" >"$ready"

say "caching as $cache"
XZ_OPT=-T0 tar -C "$opt_dir" -cJf "$cache.partial" "$name"
mv "$cache.partial" "$cache"
# 2 GB of objects: the cache and the prefix are all that later runs need.
rm -rf "$work"
echo "$prefix"
