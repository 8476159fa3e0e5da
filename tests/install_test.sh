#!/usr/bin/env bash
# The installed tree as a user gets it: cmake --install into a scratch folder, then
# moved elsewhere (an installed tree finds its plug-ins from its own place), and each
# installed file put to work. Usage: install_test.sh BUILD FIXTURES
set -euo pipefail
build="$1"
fixtures="$2"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

DESTDIR="$scratch/stage" cmake --install "$build" --prefix /usr >/dev/null
mv "$scratch/stage/usr" "$scratch/moved"
root="$scratch/moved"
id=org.kolbrin.Kolbrin
for file in bin/kolbrin bin/kolbrin-grep lib/kolbrin/libunlha32.so lib/kolbrin/libunzip32.so \
  lib/kolbrin/libanyarc.so include/kolbrin/ArchiverApi.h share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
  share/icons/hicolor/32x32/apps/$id.png share/icons/hicolor/scalable/apps/$id.svg \
  share/man/man1/kolbrin.1 share/man/man1/kolbrin-grep.1 \
  share/bash-completion/completions/kolbrin-grep; do
  [ -f "$root/$file" ] || fail "not installed: $file"
done
[ ! -e "$root/lib/kolbrin/libunlha32x.so" ] || fail "the tests' incomplete plug-in was installed"

# kolbrin-grep searches a ZIP and an LZH archive through the installed plug-ins; the
# build folder is nowhere it looks.
mkdir "$scratch/tmp"
search() {
  env -u LD_LIBRARY_PATH TMPDIR="$scratch/tmp" TEMP="$scratch/tmp" "$root/bin/kolbrin-grep" "$@"
}
search installed "$fixtures/zip/docs.zip" | grep -qx $'\tLINE\\[0000000001\\]:a line to find: installed' ||
  fail "no hit in the ZIP member"
search "huffman search" "$fixtures/lzh/lh5-level2.lzh" | grep -q $'^\tLINE\\[0000000003\\]:' ||
  fail "no hit in the LZH member"
printf 'a line to find: compressed\n' | gzip >"$scratch/notes.txt.gz"
search compressed "$scratch/notes.txt.gz" | grep -q '/notes.txt$' ||
  fail "no hit in the gzip file's member"
[ -z "$(ls -A "$scratch/tmp")" ] || fail "kolbrin-grep left files in TEMP"

desktop-file-validate "$root/share/applications/$id.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$root/share/metainfo/$id.metainfo.xml" >/dev/null ||
  fail "metainfo: $(appstreamcli validate --no-net "$root/share/metainfo/$id.metainfo.xml")"

# Both manual pages render, without a warning.
for page in kolbrin kolbrin-grep; do
  rendered="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/share/man/man1/$page.1" 2>"$scratch/warnings")"
  [ ! -s "$scratch/warnings" ] || fail "$page.1: $(cat "$scratch/warnings")"
  grep -q "^SEE ALSO" <<<"$rendered" || fail "$page.1 did not render"
done
LC_ALL=C.UTF-8 man -l "$root/share/man/man1/kolbrin-grep.1" 2>/dev/null | grep -q -- "--encoding" ||
  fail "kolbrin-grep.1 misses its options"

# The completion offers the encodings, and options after a dash.
complete_words() {
  bash -c 'source /usr/share/bash-completion/bash_completion
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _kolbrin_grep; echo "${COMPREPLY[*]}"' _ "$root/share/bash-completion/completions/kolbrin-grep" "$@"
}
[ "$(complete_words kolbrin-grep --encoding euc)" = "euc-jp" ] || fail "completion of --encoding"
[ "$(complete_words kolbrin-grep --sh)" = "--show-empty" ] || fail "completion of an option"

# The window, off screen, loads the three plug-ins from the installed place, and on
# SIGTERM (the session ending) closes as usual, writing its settings under
# XDG_CONFIG_HOME, never beside itself, also when root could write there.
mkdir -m 0700 "$scratch/runtime"
env -u LD_LIBRARY_PATH XDG_CONFIG_HOME="$scratch/config" XDG_RUNTIME_DIR="$scratch/runtime" \
  TMPDIR="$scratch/tmp" TEMP="$scratch/tmp" QT_QPA_PLATFORM=offscreen "$root/bin/kolbrin" 2>/dev/null &
window=$!
loaded=0
for _ in $(seq 1 200); do
  maps="$(cat "/proc/$window/maps" 2>/dev/null || true)"
  if grep -q "$root/lib/kolbrin/libunlha32.so" <<<"$maps" &&
    grep -q "$root/lib/kolbrin/libunzip32.so" <<<"$maps" &&
    grep -q "$root/lib/kolbrin/libanyarc.so" <<<"$maps"; then
    loaded=1
    break
  fi
  sleep 0.1
done
kill -TERM "$window"
status=0
wait "$window" || status=$?
[ "$status" = 143 ] || fail "the window ended with $status on SIGTERM"
[ "$loaded" = 1 ] || fail "the window did not load the installed plug-ins"
[ -f "$scratch/config/kolbrin/kolbrin.ini" ] || fail "no settings under XDG_CONFIG_HOME"
grep -q "TAB" "$scratch/config/kolbrin/kolbrin.ini" || fail "the settings hold no TAB width"
[ ! -e "$root/bin/kolbrin.ini" ] || fail "settings written beside the installed program"
[ -z "$(ls -A "$scratch/tmp")" ] || fail "the window left files in TEMP"
echo "installed tree: ok"
