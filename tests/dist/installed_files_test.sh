#!/usr/bin/env bash
# installed_files_test.sh install|run-build BUILD_DIR
#   install: `cmake --install` into a scratch prefix; the menu entry and the AppStream file
#            validate, every icon has its size, the manual pages and the completion are where
#            man and bash look; the prefix is then moved, and the programs run from their new
#            place with our libraries found there (the Debian package: scripts/package).
#            What is installed is built first (a no-op after a full build), so a build of some
#            targets only, or one older than its sources, is installed as it should be.
#   run-build: every file `cmake --install` takes from what BUILD_DIR builds is made by the
#            targets scripts/build-program (scripts/run) builds, as BUILD_DIR's graph says.
set -euo pipefail
mode=$1
build=$(cd "$2" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
read -ra program_targets <<<"$("$source/scripts/build-program" --targets)"
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

# Sizes and times of the files an install takes from BUILD: the programs, the libraries and
# the icons.
build_state() {
  find "$1/app/lumivane" "$1/batch/lumivane-batch" "$1/lib/lumivane" "$1/app/icons" -type f \
    -printf '%p %s %T@\n' | sort
}

# Installs BUILD into a scratch prefix and checks what is there. The install is of the build as
# its sources are now, and nothing relinks it meanwhile: the test holds the build folder's lock
# (as scripts/build-program does while it builds), brings what is installed up to date, and
# makes sure no other build of the folder changed a file while it was being copied.
check_install() {
  local build=$1
  exec 9>"$build/.lumivane-build.lock"
  flock 9
  cmake --build "$build" --target "${program_targets[@]}" \
    >"$scratch/install-build.log" 2>&1 || { cat "$scratch/install-build.log" >&2; fail "build of $build"; }
  local before
  before=$(build_state "$build")
  cmake --install "$build" --prefix "$scratch/stage" >/dev/null || fail "cmake --install $build"
  [ "$(build_state "$build")" = "$before" ] ||
    fail "$build changed while it was installed: a build of it ran alongside, not through scripts/build-program"
  exec 9>&-
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
  cd "$build"
  # The paths the install rules take from BUILD (one ending in / is a folder), and of those the
  # files that the build makes (configured files are there without a build).
  from_build=$(grep -rho --include=cmake_install.cmake 'FILES ".*"' . | grep -o '"[^"]*"' |
    tr -d '"' | sed -n "s|^$build/||p")
  installed=$(ninja -t targets all | sed 's/: [^ ]*$//' | paths=$from_build awk '
    BEGIN { n = split(ENVIRON["paths"], p, "\n") }
    { for (i = 1; i <= n; i++) if ($0 == p[i] || (p[i] ~ /\/$/ && index($0, p[i]) == 1)) print }')
  grep -q '^app/lumivane$' <<<"$installed" || fail "the install takes no program from $build"
  made=$(ninja -t graph "${program_targets[@]}" | sed -n 's/^"[^"]*" \[label="\(.*\)"\]$/\1/p')
  missing=$(grep -vxF -f <(echo "$made") <<<"$installed" || true)
  [ -z "$missing" ] ||
    fail "cmake --install takes from the build what scripts/build-program does not build: $missing"
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
echo "OK: $mode"
