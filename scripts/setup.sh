# Shared by scripts/run and scripts/test: installs what is missing, then configures
# and builds. Sourced, not run.
set -euo pipefail

KOLBRIN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
KOLBRIN_BUILD="${KOLBRIN_BUILD:-$KOLBRIN_ROOT/build}"

# The last line: the tools the tests make archives of every kind with (Python's
# tarfile and compressors, bsdtar, zstd, lz4, compress, gcab).
kolbrin_packages=(cmake ninja-build g++ pkg-config libgtest-dev libicu-dev libarchive-dev
  qt6-base-dev qt6-translations-l10n fonts-ipafont-gothic xdg-utils
  desktop-file-utils appstream man-db bash-completion dpkg-dev
  python3 libarchive-tools zstd lz4 ncompress gcab)

kolbrin_install_missing() {
  local missing=()
  local package
  for package in "${kolbrin_packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

kolbrin_build() {
  if [ ! -f "$KOLBRIN_BUILD/build.ninja" ]; then
    cmake -S "$KOLBRIN_ROOT" -B "$KOLBRIN_BUILD" -G Ninja \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLBRIN_WERROR=ON "$@"
  fi
  cmake --build "$KOLBRIN_BUILD"
}
