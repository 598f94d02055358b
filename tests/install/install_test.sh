#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and proves the package works from there alone:
# the installed files and the libraries' SONAMEs; examples/ (host.c, receive.cpp, modem.c)
# configured and built through find_package(hov), host.c and modem.c built again through
# pkg-config, and the programs run.
# Usage: install_test.sh SOURCE_DIR BUILD_DIR LIBDIR CC CXX TOOL   (TOOL: ON when hov is built)
#   HOV_EXAMPLE_CFLAGS: extra compiler and linker flags for the host (a sanitizer tree's runtime).
set -uo pipefail

source_dir=${1:?usage: $0 SOURCE_DIR BUILD_DIR LIBDIR CC CXX TOOL}
build_dir=${2:?}
libdir=${3:?}
cc=${4:?}
cxx=${5:?}
tool=${6:-ON}
cflags=${HOV_EXAMPLE_CFLAGS:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/hov-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

if ! cmake --install "$build_dir" --prefix "$prefix" > "$work/install.log" 2>&1; then
  cat "$work/install.log" >&2
  echo "FAIL: cmake --install" >&2
  exit 1
fi

# Exactly the package's files, nothing from the static internals, tests or benchmarks.
expected="include/hov/hov.h
include/hov/modem.h
$libdir/cmake/hov/hovConfig.cmake
$libdir/cmake/hov/hovConfigVersion.cmake
$libdir/cmake/hov/hovTargets-*.cmake
$libdir/cmake/hov/hovTargets.cmake
$libdir/libhov.so
$libdir/libhov.so.0
$libdir/libhov.so.*.*.*
$libdir/libhov_modem.so
$libdir/libhov_modem.so.0
$libdir/libhov_modem.so.*.*.*
$libdir/pkgconfig/hov-modem.pc
$libdir/pkgconfig/hov.pc
share/doc/hov/README.md"
case $tool in
  ON | on | 1 | TRUE | true | YES | yes) expected=$(printf 'bin/hov\n%s' "$expected") ;;
  *) tool= ;;
esac
actual=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
n_expected=$(printf '%s\n' "$expected" | wc -l)
n_actual=$(printf '%s\n' "$actual" | wc -l)
[ "$n_actual" = "$n_expected" ] || fail "installed $n_actual files, expected $n_expected: $actual"
while read -r pattern; do
  # shellcheck disable=SC2086 # the pattern is a glob on purpose
  matches=$(cd "$prefix" && ls -d $pattern 2> /dev/null | wc -l)
  [ "$matches" = 1 ] || fail "installed tree has $matches files for $pattern"
done <<< "$expected"
[ -L "$prefix/$libdir/libhov.so" ] || fail "libhov.so is not a link to the versioned library"
for lib in libhov libhov_modem; do
  soname=$(objdump -p "$prefix/$libdir/$lib.so" | awk '$1 == "SONAME" {print $2}')
  [ "$soname" = $lib.so.0 ] || fail "SONAME of $lib is '$soname', expected $lib.so.0"
done
[ -z "$tool" ] || "$prefix/bin/hov" --help > /dev/null || fail "the installed hov tool does not run"

# expect_run LABEL PROGRAM: runs the host with the installed library; it must answer every call.
expect_run() {
  local label=$1 program=$2 out status
  out=$(LD_LIBRARY_PATH=$prefix/$libdir "$program" 1000 2> "$work/$label.err")
  status=$?
  echo "--- $label"
  printf '%s\n' "$out"
  [ "$status" = 0 ] || fail "$label exited $status: $(cat "$work/$label.err")"
  printf '%s\n' "$out" | grep -qx 'status 1: library ready' || fail "$label: no status 1"
  printf '%s\n' "$out" | grep -qE '^status (3|4): ' || fail "$label: no receive start status"
  printf '%s\n' "$out" | grep -qx 'status 5: receiver stopped' || fail "$label: no status 5"
  printf '%s\n' "$out" | grep -qE '^status (6|7): ' || fail "$label: no send start status"
  printf '%s\n' "$out" | grep -qx 'status 8: sender stopped' || fail "$label: no status 8"
  [ "$(printf '%s\n' "$out" | tail -n 1)" = done ] || fail "$label: last line is not 'done'"
}

# expect_modem LABEL PROGRAM: modem.c encodes a key and hears it back from the buffer.
expect_modem() {
  local out
  out=$(LD_LIBRARY_PATH=$prefix/$libdir "$2" HELLOS 2> "$work/$1-modem.err")
  echo "--- $1 modem.c: $out"
  printf '%s\n' "$out" | grep -qE '^heard HELLOS at frame [0-9]+$' ||
    fail "$1: modem.c did not hear its key back: $out $(cat "$work/$1-modem.err")"
}

# find_package(hov), hov::hov and hov::modem, from a project of its own.
if cmake -S "$source_dir/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" \
     -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_FLAGS="$cflags" \
     -DCMAKE_CXX_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$cflags" \
     > "$work/example.log" 2>&1 &&
   cmake --build "$work/example" >> "$work/example.log" 2>&1; then
  expect_run cmake-package "$work/example/host"
  # receive.cpp: its exit status and its line agree (4 here without a sound server).
  out=$(LD_LIBRARY_PATH=$prefix/$libdir "$work/example/receive" 500 2> "$work/receive.err")
  status=$?
  echo "--- receive.cpp: $out (exit $status)"
  case $status:$out in
    "4:the receiver did not start" | "2:no share key heard" | 0:[A-Z][A-Z][A-Z][A-Z][A-Z][A-Z]) ;;
    *) fail "receive exited $status with '$out': $(cat "$work/receive.err")" ;;
  esac
  expect_modem cmake-package "$work/example/modem"
else
  cat "$work/example.log" >&2
  fail "examples/ does not build against the installed package"
fi

# pkg-config, with a plain compiler command.
# shellcheck disable=SC2046,SC2086 # pkg-config's output is a list of flags
if flags=$(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig pkg-config --cflags --libs hov) &&
   "$cc" -std=c11 -Wall -Wextra -Werror $cflags "$source_dir/examples/host.c" $flags \
     -o "$work/host-pc" 2> "$work/pc.log"; then
  case " $flags " in
    *" -I$prefix/include "*) ;;
    *) fail "pkg-config --cflags does not point at the installed headers: $flags" ;;
  esac
  expect_run pkg-config "$work/host-pc"
else
  cat "$work/pc.log" >&2
  fail "examples/host.c does not build with pkg-config's flags"
fi

# shellcheck disable=SC2046,SC2086 # pkg-config's output is a list of flags
if flags=$(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig pkg-config --cflags --libs hov-modem) &&
   "$cc" -std=c11 -Wall -Wextra -Werror $cflags "$source_dir/examples/modem.c" $flags \
     -o "$work/modem-pc" 2> "$work/modem-pc.log"; then
  expect_modem pkg-config "$work/modem-pc"
else
  cat "$work/modem-pc.log" >&2
  fail "examples/modem.c does not build with pkg-config's flags for hov-modem"
fi

[ "$failures" = 0 ] || exit 1
echo "install test passed"
