#!/usr/bin/env bash
# installed_files_test.sh install|run-build BUILD_DIR
#   install: `cmake --install` into a scratch prefix; the menu entry and the AppStream file
#            validate, every icon has its size, the manual pages and the completion are where
#            man and bash look; the prefix is then moved, and the programs run from their new
#            place with our libraries found there (the Debian package: scripts/package).
#   run-build: the same for a fresh build made as scripts/run makes it (scripts/build-program,
#            which builds only the program's targets), beside BUILD_DIR.
set -euo pipefail
mode=$1
build=$(cd "$2" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The programs under ROOT/bin run on a picture and find our libraries under ROOT, none from
# the build tree.
check_programs() {
  local root=$1
  convert -size 9x7 xc:orange BMP3:"$scratch/in.bmp"
  "$root/bin/lumivane-batch" "$scratch/in.bmp" negative "$scratch/out.png" ||
    fail "lumivane-batch does not run from $root"
  pngcheck -q "$scratch/out.png" || fail "lumivane-batch wrote no valid PNG"
  [ "$(convert "$scratch/out.png" -format '%[pixel:p{4,3}]' info:)" = "srgb(0,90,255)" ] ||
    fail "lumivane-batch wrote the wrong colours"
  for program in lumivane lumivane-batch; do
    local libraries
    libraries=$(ldd "$root/bin/$program")
    if grep -q "not found" <<<"$libraries"; then fail "$program: $libraries"; fi
    if grep -qF "$build" <<<"$libraries"; then fail "$program takes libraries from the build"; fi
    if readelf -d "$root/bin/$program" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
      fail "$program keeps a run path into the build"
    fi
    local own
    own=$(grep -E 'liblvglobalmem' <<<"$libraries" || true)
    if [ -n "$own" ] && ! grep -qF "$root/bin/../lib/lumivane/liblvglobalmem.so" <<<"$own"; then
      fail "$program finds liblvglobalmem elsewhere: $own"
    fi
  done
  # ldd's whole output first: grep -q stops reading early, and pipefail would take ldd's
  # broken pipe for a failure.
  grep -qF "$root/bin/../lib/lumivane/liblvglobalmem.so" <<<"$(ldd "$root/bin/lumivane")" ||
    fail "lumivane does not find liblvglobalmem in lib/lumivane"
}

# Installs BUILD into a scratch prefix and checks what is there.
check_install() {
  local build=$1
  cmake --install "$build" --prefix "$scratch/stage" >/dev/null || fail "cmake --install $build"
  desktop-file-validate "$scratch"/stage/share/applications/*.desktop || fail "desktop entry"
  appstreamcli validate --no-net "$scratch"/stage/share/metainfo/*.metainfo.xml ||
    fail "AppStream file"
  grep -q '<project_license>MIT</project_license>' "$scratch"/stage/share/metainfo/*.metainfo.xml ||
    fail "AppStream licence"
  grep -q '^Exec=lumivane %f$' "$scratch"/stage/share/applications/*.desktop || fail "Exec line"
  for size in 16 22 24 32 48 64 128 256; do
    icon=$(ls "$scratch/stage/share/icons/hicolor/${size}x${size}/apps/"*.png)
    [ "$(identify -format '%wx%h' "$icon")" = "${size}x${size}" ] || fail "icon $icon"
  done
  ls "$scratch"/stage/share/icons/hicolor/scalable/apps/*.svg >/dev/null || fail "SVG icon"
  for page in lumivane lumivane-batch; do
    [ -s "$scratch/stage/share/man/man1/$page.1" ] || fail "manual page $page.1"
  done
  [ -s "$scratch/stage/share/bash-completion/completions/lumivane-batch" ] || fail "completion"
  [ -x "$scratch/stage/lib/lumivane/lumivane-sane-helper" ] || fail "the scanner's helper"
  mv "$scratch/stage" "$scratch/moved"
  check_programs "$scratch/moved"
}

case $mode in
install)
  check_install "$build"
  ;;
run-build)
  # Inside the build tree, so that a compiler cache set up for the tree serves it too.
  fresh=$(mktemp -d "$build/run-build.XXXXXX")
  trap 'rm -rf "$scratch" "$fresh"' EXIT
  options=()
  for launcher in CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER; do
    value=$(sed -n "s/^$launcher:[A-Z]*=//p" "$build/CMakeCache.txt")
    [ -z "$value" ] || options+=("-D$launcher=$value")
  done
  "$source/scripts/build-program" "$fresh" "${options[@]}" >"$scratch/build.log" 2>&1 ||
    { cat "$scratch/build.log" >&2; fail "scripts/build-program"; }
  check_install "$fresh"
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
echo "OK: $mode"
