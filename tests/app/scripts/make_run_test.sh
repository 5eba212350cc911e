#!/usr/bin/env bash
# `make run` installs the program into a folder of its own outside the build tree and
# starts it there; installing again (a rebuild) replaces the program, its read-me and
# help page and leaves the user's settings file and database folder as they were.
# Usage: make_run_test.sh SOURCE_DIR BUILT_PROGRAM
set -euo pipefail
src=$1 program=$2
home=$(mktemp -d "${TMPDIR:-/tmp}/kura-test-run.XXXXXX")
trap 'rm -rf "$home"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

# The dry run starts the installed program, never one inside the build tree, also in
# folders named as Japanese users name them.
for dir in "$home/yomitora" "$home/ヨミトラ" "$home/人事部/社員台帳"; do
  plan=$(make -s -n -C "$src" run PROGRAM_DIR="$dir" JOBS=1)
  last=$(printf '%s\n' "$plan" | grep -v '^make' | tail -n 1)
  [ "$last" = "\"$dir/yomitora\"" ] || fail "make run in $dir starts: $last"
  printf '%s\n' "$plan" | grep -Eq '^"?build/' && fail "make run starts something in the build tree"
done

# A user's data, then an install over it.
mkdir -p "$home/yomitora/DB"
printf 'records' > "$home/yomitora/DB/Staff.DAT"
printf '[Fmain]\r\nLeft=10\r\n' > "$home/yomitora/yomitora.INI"
for round in 1 2; do
  make -s -C "$src" install-program PROGRAM="$program" PROGRAM_DIR="$home/yomitora" > /dev/null
  for f in yomitora readme.txt yomitora.html; do [ -s "$home/yomitora/$f" ] || fail "round $round: no $f"; done
  [ -x "$home/yomitora/yomitora" ] || fail "round $round: the program is not executable"
  [ "$(cat "$home/yomitora/DB/Staff.DAT")" = records ] || fail "round $round: the database changed"
  [ "$(cat "$home/yomitora/yomitora.INI")" = $'[Fmain]\r\nLeft=10\r' ] || fail "round $round: the settings changed"
done
# Installed into those folders, the program starts there, makes its database beside
# itself and starts again on it (as the benchmark starts it: "shown" once its window is
# up, then it ends; a failed start waits on its message, which the time limit ends).
for dir in "$home/ヨミトラ" "$home/人事部/社員台帳"; do
  make -s -C "$src" install-program PROGRAM="$program" PROGRAM_DIR="$dir" > /dev/null
  for round in 1 2; do
    said=$(cd / && QT_QPA_PLATFORM=offscreen YOMITORA_EXIT_WHEN_SHOWN=1 ASAN_OPTIONS=detect_leaks=0 \
           timeout 30 "$dir/yomitora" 2> /dev/null | head -n 1) || true
    case "$said" in "shown "*) ;; *) fail "$dir, start $round: ${said:-no window within 30 s}";; esac
    [ -s "$dir/DB/Staff.DAT" ] && [ -s "$dir/yomitora.INI" ] || fail "$dir: no database or settings beside the program"
  done
done
echo "1 passed, 0 failed"
