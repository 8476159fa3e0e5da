#!/usr/bin/env bash
# The Debian package, built by CPack from the build folder and inspected: its control
# fields name the real run-time dependencies, and it holds the installed tree under
# /usr and nothing of the tests. Skipped (77) where dpkg-deb is missing.
# Usage: package_test.sh BUILD
set -euo pipefail
build="$1"
command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null || exit 77
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch" >/dev/null) ||
  fail "cpack failed"
package="$(ls "$scratch"/kolbrin_*.deb)"
info="$(dpkg-deb -I "$package")"
depends="$(dpkg-deb -f "$package" Depends)"
for dependency in libqt6widgets6 libicu libarchive13 fonts-ipafont-gothic xdg-utils; do
  grep -q "$dependency" <<<"$depends" || fail "Depends lacks $dependency: $depends"
done
grep -q "^ Package: kolbrin$" <<<"$info" || fail "package name: $info"
contents="$(dpkg-deb -c "$package" | awk '{ print $6 }')"
for file in ./usr/bin/kolbrin ./usr/bin/kolbrin-grep ./usr/lib/kolbrin/libunlha32.so \
  ./usr/lib/kolbrin/libunzip32.so ./usr/lib/kolbrin/libanyarc.so ./usr/share/applications/org.kolbrin.Kolbrin.desktop \
  ./usr/share/man/man1/kolbrin-grep.1; do
  grep -qx "$file" <<<"$contents" || fail "the package lacks $file"
done
grep -v '^\./usr/' <<<"$contents" | grep -v '^\./$' && fail "files outside /usr"
grep -q 'unlha32x\|kolbrin_tests\|gtest' <<<"$contents" && fail "test files in the package"
echo "package $(basename "$package"): ok"
