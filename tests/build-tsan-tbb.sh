#!/usr/bin/env bash
# Builds oneTBB (the installed version, from Debian's source package) with ThreadSanitizer into
# PREFIX. The system library is not instrumented, so ThreadSanitizer cannot see that handing a
# task to a worker orders it after the caller's writes, and reports every scan as a race. With
# the library instrumented no suppressions are needed.
#   usage: tests/build-tsan-tbb.sh PREFIX
set -euo pipefail
prefix=$(realpath -m "$1")
if [ -f "$prefix/lib/cmake/TBB/TBBConfig.cmake" ]; then
    exit 0
fi
version=$(dpkg-query -W -f='${Version}' libtbb-dev)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/src" "$work/sources"
# Source entries of our own, made from the machine's binary-package sources so that the same
# mirrors serve them; the system's apt configuration stays as it is.
shopt -s nullglob
for list in /etc/apt/sources.list.d/*.sources; do
    sed 's/^Types:.*$/Types: deb-src/' "$list" >"$work/sources/$(basename "$list")"
done
for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$list" ] && sed -n 's/^deb /deb-src /p' "$list" >>"$work/sources.list"
done
touch "$work/sources.list"
apt_options=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=$work/sources"
             -o "Dir::State::Lists=$work/lists" -o APT::Sandbox::User=root)
apt-get "${apt_options[@]}" update -qq
(cd "$work/src" && apt-get "${apt_options[@]}" source --download-only -qq "onetbb=$version" 2>/dev/null)
tar -xf "$work"/src/onetbb_*.orig.tar.* -C "$work/src"
source_dir=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d | head -1)
cmake -S "$source_dir" -B "$work/build" -G Ninja -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF -DTBB_STRICT=OFF \
    -DTBB_SANITIZE=thread -DCMAKE_INSTALL_PREFIX="$prefix" -Wno-dev >/dev/null
cmake --build "$work/build" -j "${JOBS:-2}" >/dev/null
cmake --install "$work/build" >/dev/null
