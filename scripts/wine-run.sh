#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine: the emulator that CMake and CTest put in
# front of every .exe of the `windows` preset (test discovery included).
#
# The Wine prefix is WINEPREFIX when set (the `windows` test preset sets build/windows/wineprefix,
# so that a run does not depend on what an earlier one left), else ~/.cache/quillon/wine. A new
# prefix is made on first use, once, even when CTest starts many tests at the same moment.
set -euo pipefail

export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/quillon/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers: nothing here is .NET or HTML, and they would want a network.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# Wine runs without address space randomisation. Debian's Wine has no preloader, so a new Wine
# process claims the fixed addresses that Windows programs rely on (the shared user data page at
# 0x7ffe0000) only after the Linux loader has set it up, and by then the kernel may have put the
# process's heap there: the loader is mapped at 0x7d000000 and the heap starts at a random place in
# the gigabyte above it. About one start in ten thousand then ends before the program runs ("failed
# to map the shared user data", which WINEDEBUG=-all hides): the CreateProcess that started it fails
# with error 1359 (ERROR_INTERNAL_ERROR), or a test program CTest started ends with 1 and no output.
# Without randomisation the heap always starts right after the loader, far below that page. The
# setting is inherited, so the programs a test starts get it too. Where it is not allowed (some
# container sandboxes refuse it), Wine runs as it is.
fixed_layout=(setarch "$(uname -m)" --addr-no-randomize)
"${fixed_layout[@]}" true 2>/dev/null || fixed_layout=()

mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    # wineboot complains about the 32-bit half, which a 64-bit build never needs.
    "${fixed_layout[@]}" wineboot --init </dev/null >/dev/null 2>&1 9>&- || true
    wineserver --wait 9>&-
  fi
  # Wine's own background processes (services, device drivers) start with the first program of a
  # server and inherit its standard output. CTest waits for that pipe to close, so a test that
  # happened to start them would never end: they are started here, away from the pipe, by a
  # server that stays up between the tests of a run. Exit status 2: one is running already.
  if wineserver -p30 </dev/null >/dev/null 2>&1 9>&-; then
    "${fixed_layout[@]}" wine wineboot </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX.lock"

# Wine's C runtime ends lines with CR LF; test discovery reads names line by line and would keep
# the CR in each test suite's name.
if [[ " $* " == *" --gtest_list_tests "* ]]; then
  "${fixed_layout[@]}" wine "$@" | sed 's/\r$//'
  exit "${PIPESTATUS[0]}"
fi
exec "${fixed_layout[@]}" wine "$@"
