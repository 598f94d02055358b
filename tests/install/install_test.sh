#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and proves the package works from there alone:
# the installed files and the libraries' SONAMEs; examples/ (host.c, receive.cpp, modem.c)
# configured and built through find_package(hov), host.c and modem.c built again through
# pkg-config, and the programs run.
# Usage: install_test.sh SOURCE_DIR BUILD_DIR LIBDIR CC CXX TOOL   (TOOL: ON when hov is built)
set -uo pipefail

source_dir=${1:?usage: $0 SOURCE_DIR BUILD_DIR LIBDIR CC CXX TOOL}
build_dir=${2:?}
libdir=${3:?}
cc=${4:?}
cxx=${5:?}
. "$(dirname "$0")/../lib.sh"
prefix=$work/prefix
export LD_LIBRARY_PATH=$prefix/$libdir PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig

cmake --install "$build_dir" --prefix "$prefix" > "$work/install.log" 2>&1 || {
  cat "$work/install.log" >&2
  echo "FAIL: cmake --install" >&2
  exit 1
}

# Exactly the package's files, nothing from the static internals, tests or benchmarks.
expected="include/hov/hov.h include/hov/modem.h share/doc/hov/README.md"
for f in cmake/hov/hovConfig.cmake cmake/hov/hovConfigVersion.cmake 'cmake/hov/hovTargets-*.cmake' \
  cmake/hov/hovTargets.cmake pkgconfig/hov-modem.pc pkgconfig/hov.pc libhov.so libhov.so.0 \
  'libhov.so.*.*.*' libhov_modem.so libhov_modem.so.0 'libhov_modem.so.*.*.*'; do
  expected+=" $libdir/$f"
done
case ${6:-ON} in
  ON | on | 1 | TRUE | true | YES | yes) expected+=" bin/hov" ;;
esac
actual=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
# shellcheck disable=SC2086 # the expected names are globs on purpose
[ "$actual" = "$(cd "$prefix" && ls -d $expected 2> /dev/null | sort -u)" ] &&
  [ "$(wc -w <<< "$actual")" = "$(wc -w <<< "$expected")" ] ||
  fail "installed files: $actual"
[ -L "$prefix/$libdir/libhov.so" ] || fail "libhov.so is not a link to the versioned library"
for lib in libhov libhov_modem; do
  soname=$(objdump -p "$prefix/$libdir/$lib.so" | awk '$1 == "SONAME" {print $2}')
  [ "$soname" = $lib.so.0 ] || fail "SONAME of $lib is '$soname', expected $lib.so.0"
done
[[ $expected != *bin/hov* ]] || "$prefix/bin/hov" --help > /dev/null ||
  fail "the installed hov tool does not run"

# expect_host PROGRAM: runs the host with the installed library; it must answer every call.
expect_host() {
  local out
  out=$("$1" 1000 2> "$work/err") || fail "$1 exited $?: $(cat "$work/err")"
  printf -- '--- %s\n%s\n' "$1" "$out"
  for line in 'status 1: library ready' 'status (3|4): .*' 'status 5: receiver stopped' \
    'status (6|7): .*' 'status 8: sender stopped'; do
    grep -qxE "$line" <<< "$out" || fail "$1: no line '$line'"
  done
  [ "$(tail -n 1 <<< "$out")" = 'done' ] || fail "$1: last line is not 'done'"
}

# expect_modem PROGRAM: modem.c encodes a key and hears it back from the buffer.
expect_modem() {
  local out
  out=$("$1" HELLOS 2> "$work/err")
  echo "--- $1: $out"
  grep -qxE 'heard HELLOS at frame [0-9]+' <<< "$out" || fail "$1 did not hear its key: $(cat "$work/err")"
}

# find_package(hov), hov::hov and hov::modem, from a project of its own.
if cmake -S "$source_dir/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" > "$work/example.log" 2>&1 &&
  cmake --build "$work/example" >> "$work/example.log" 2>&1; then
  expect_host "$work/example/host"
  expect_modem "$work/example/modem"
  # receive.cpp: its exit status and its line agree (4 here without a sound server).
  out=$("$work/example/receive" 500 2> "$work/receive.err")
  status=$?
  echo "--- receive.cpp: $out (exit $status)"
  case $status:$out in
    "4:the receiver did not start" | "2:no share key heard" | 0:[A-Z][A-Z][A-Z][A-Z][A-Z][A-Z]) ;;
    *) fail "receive exited $status with '$out': $(cat "$work/receive.err")" ;;
  esac
else
  cat "$work/example.log" >&2
  fail "examples/ does not build against the installed package"
fi

# pkg-config, with a plain compiler command.
for c in "hov host" "hov-modem modem"; do
  set -- $c
  # shellcheck disable=SC2046,SC2086 # pkg-config's output is a list of flags
  if flags=$(pkg-config --cflags --libs "$1") && [[ " $flags " == *" -I$prefix/include "* ]] &&
    "$cc" -std=c11 -Wall -Wextra -Werror "$source_dir/examples/$2.c" $flags -o "$work/$2-pc" \
      2> "$work/pc.log"; then
    "expect_$2" "$work/$2-pc"
  else
    fail "examples/$2.c does not build with pkg-config's flags for $1: $flags $(cat "$work/pc.log")"
  fi
done

finish "install test passed"
