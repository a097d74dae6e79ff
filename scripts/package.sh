#!/usr/bin/env bash
# Builds the Debian package of the station: a Release tree installed under /usr, compiled with
# Debian's hardening flags, packed by CPack, checked by lintian.
#
# Usage: scripts/package.sh [--build DIR] [--no-lintian]
#   --build       the Release build tree (default build-package/)
#   --no-lintian  skip the lintian check
# Prints the package's path, its control fields, its file list and lintian's report; exits
# non-zero when the build fails or lintian reports an error. Install the result with
#   sudo apt install ./build-package/qzmonitor_<version>_amd64.deb
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$here/build-package"
run_lintian=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --no-lintian) run_lintian=0; shift ;;
    *) sed -n '2,12p' "$0" >&2; exit 2 ;;
  esac
done

"$here/scripts/bootstrap.sh"
# The package tools: dpkg-shlibdeps (dpkg-dev) computes the library dependencies, file finds
# the binaries for it, lintian checks the result.
tools=(dpkg-dev file)
[ "$run_lintian" = 1 ] && tools+=(lintian)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "package: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Debian's compiler and linker hardening (stack protector, fortify, relro, bind now); without
# -g: the package is stripped anyway.
cd "$here"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
cxxflags="${cxxflags//-g /}"
ldflags="$(dpkg-buildflags --get LDFLAGS)"

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DQZ_BUILD_TESTS=OFF -DQZ_BUILD_BENCH=OFF \
      -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G DEB >/dev/null)

version="$(sed -n 's/^project(qzmonitor VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")"
deb="$build/qzmonitor_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "package: $deb was not made" >&2; exit 1; }

echo "==== $deb"
dpkg-deb --field "$deb"
echo "==== files"
dpkg-deb --contents "$deb" | awk '{ print $1, $2, $6 }'
if [ "$run_lintian" = 1 ]; then
  echo "==== lintian"
  # Errors fail the script; warnings and notes are shown.
  lintian --display-info --fail-on error "$deb" && echo "lintian: no errors"
fi
