#!/usr/bin/env bash
# command_line_test.sh version|manual|completion BUILD_DIR SOURCE_DIR VERSION
#   version:    both programs print their name and VERSION for --version and exit 0; the
#               window program's --help and its refusals of bad command lines, with no window.
#   manual:     the manual pages render without a warning and name every option and effect
#               that the programs' help lists.
#   completion: bash completes lumivane-batch's effects, modes, scanner sources and files.
set -euo pipefail
mode=$1
build=$(cd "$2" && pwd)
source_dir=$(cd "$3" && pwd)
version=$4
app=$build/app/lumivane
batch=$build/batch/lumivane-batch
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export QT_QPA_PLATFORM=offscreen

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# expect_status STATUS COMMAND...: runs COMMAND (stdout and stderr to $scratch/out, err).
expect_status() {
  local want=$1 got=0
  shift
  timeout 20 "$@" >"$scratch/out" 2>"$scratch/err" || got=$?
  [ "$got" = "$want" ] || fail "$* exited $got, not $want: $(cat "$scratch/err")"
}

effect_names() {
  "$batch" --help | sed -n 's/^effects: //p' | tr ' ' '\n'
}

case $mode in
version)
  for program in "$app" "$batch"; do
    expect_status 0 "$program" --version
    [ "$(cat "$scratch/out")" = "$(basename "$program") $version" ] ||
      fail "$program --version printed '$(cat "$scratch/out")'"
  done
  # The help, also without any display.
  expect_status 0 env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY "$app" --help
  grep -q '\[FILE\]' "$scratch/out" || fail "lumivane --help has no FILE"
  grep -q -- '--help-all' "$scratch/out" || fail "lumivane --help does not offer Qt's options"
  expect_status 0 "$app" --help-all
  grep -q -- '-platform' "$scratch/out" || fail "lumivane --help-all lacks Qt's options"
  [ "$("$batch" --help | tail -c 1 | od -An -c | tr -d ' ')" = '\n' ] ||
    fail "lumivane-batch --help does not end its last line"
  # Option-like words are refused before any window opens (a window would never exit here).
  while IFS='|' read -r args message; do
    # shellcheck disable=SC2086
    expect_status 2 "$app" $args
    grep -qF "$message" "$scratch/err" || fail "lumivane $args: $(cat "$scratch/err")"
  done <<'CASES'
--version-x|Unknown option 'version-x'
-x|Unknown option 'x'
--open a.bmp|Unknown option 'open'
a.bmp b.bmp|one FILE at most
CASES
  ;;
manual)
  for page in lumivane lumivane-batch; do
    file=$build/man/$page.1
    # As man renders them for a UTF-8 terminal (preconv for the Japanese captions).
    groff -k -Tutf8 -ww -z -man "$file" 2>"$scratch/warnings"
    [ ! -s "$scratch/warnings" ] || fail "$page.1: $(cat "$scratch/warnings")"
    grep -q "Lumivane $version" "$file" || fail "$page.1 does not carry the version"
    for name in $(effect_names); do
      grep -qF -- "${name//-/\\-}" "$file" || fail "$page.1 lacks the effect $name"
    done
  done
  # Every option that a program's help lists is in its page.
  "$app" --help >"$scratch/app-help"
  "$batch" --help >"$scratch/batch-help"
  for pair in lumivane:app-help lumivane-batch:batch-help; do
    page=${pair%%:*}
    options=$(grep -oE -- '(^|[ [|])--?[a-z][a-z-]*' "$scratch/${pair#*:}" | sed 's/^[ [|]//' |
      sort -u)
    [ -n "$options" ] || fail "no options found in $page's help"
    for option in $options; do
      grep -qF -- "${option//-/\\-}" "$build/man/$page.1" || fail "$page.1 lacks $option"
    done
  done
  ;;
completion)
  completions=/usr/share/bash-completion/bash_completion
  [ -r "$completions" ] || {
    echo "SKIP: bash-completion is not installed"
    exit 77
  }
  # The tool's scanner sources: SANE's test backend, configured here.
  mkdir "$scratch/sane" "$scratch/files"
  echo test >"$scratch/sane/dll.conf"
  echo "resolution 100" >"$scratch/sane/test.conf"
  touch "$scratch/files/negatives.bmp" "$scratch/files/mirror-in.bmp"
  export SANE_CONFIG_DIR=$scratch/sane
  # The sanitizers' dlopen does not consult the tool's run path: the manager's folder is named.
  export LD_LIBRARY_PATH="$build/lib/lumivane${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
  export PATH="$build/batch:$PATH"
  # WORDS (the last one is completed)|the completions, sorted, one space apart
  while IFS='|' read -r line expected; do
    got=$(cd "$scratch/files" && bash -c '
      source "$1" && source "$2" || exit 3
      read -r -a COMP_WORDS <<<"$3"
      [[ $3 == *" " ]] && COMP_WORDS+=("")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      COMP_LINE=$3
      COMP_POINT=${#COMP_LINE}
      _lumivane_batch lumivane-batch "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
      printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " " | sed "s/ $//"
    ' completion "$completions" "$source_dir/dist/bash-completion/lumivane-batch" "$line") ||
      fail "completion of '$line' failed"
    [ "$got" = "$expected" ] || fail "'$line' completes to '$got', not '$expected'"
  done <<'CASES'
lumivane-batch neg|negative negatives.bmp
lumivane-batch in.bmp blur mir|mirror mirror-in.bmp
lumivane-batch --scan test:0 --mode g|gray
lumivane-batch --scan |test:0 test:1
lumivane-batch --scan test:|0 1
lumivane-batch --li|--list-sources
lumivane-batch --resolution |
lumivane-batch --scan test:0 --source |feeder flatbed
lumivane-batch --scan test:0 --a|--all-pages --area
CASES
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
echo "OK: $mode"
