# Which Windows programs this machine runs, and which Wine loader starts each width.
# Sourced by the other scripts (and by scripts/wine-run, which ctest runs); the answer
# is decided once and handed down through the environment:
#   PXUSB_WIDTHS       the widths that run natively here ("i686 x64" or "x64")
#   PXUSB_I686_SKIPPED why i686 programs do not run here (empty where they do)
# PXUSB_NO_NATIVE32=1 takes the path of a machine whose kernel runs no 32-bit programs.
#
# Some kernels boot with their 32-bit emulation off: every 32-bit program, Wine's
# 32-bit loader included, fails with "Exec format error". Debian's `wine` wrapper
# always starts that loader when it is installed, so such a machine runs 64-bit
# programs only through /usr/lib/wine/wine64 (see WINE-FACTS.md).

if [ -z "${PXUSB_WIDTHS:-}" ]; then
  PXUSB_I686_SKIPPED=
  if [ "${PXUSB_NO_NATIVE32:-0}" = 1 ]; then
    PXUSB_I686_SKIPPED="PXUSB_NO_NATIVE32=1 forces the path of a machine without 32-bit programs"
  elif [ ! -x /usr/lib/wine/wine ]; then
    PXUSB_I686_SKIPPED="Wine's 32-bit loader (/usr/lib/wine/wine, package wine32:i386) is not installed"
  elif ! probe=$(/lib/ld-linux.so.2 --version 2>&1); then
    PXUSB_I686_SKIPPED="this kernel runs no 32-bit programs (/lib/ld-linux.so.2: ${probe##*: })"
  fi
  if [ -n "$PXUSB_I686_SKIPPED" ]; then PXUSB_WIDTHS=x64; else PXUSB_WIDTHS="i686 x64"; fi
  export PXUSB_WIDTHS PXUSB_I686_SKIPPED
fi

runs_natively() {  # runs_natively WIDTH: programs of that width run on this machine
  [[ " $PXUSB_WIDTHS " == *" $1 "* ]]
}

wine_loader() {  # wine_loader WIDTH: the Wine loader that starts a program of that width
  case $1 in
    i686) echo /usr/lib/wine/wine ;;
    x64) echo /usr/lib/wine/wine64 ;;
    *) echo "scripts: unknown width $1" >&2; return 1 ;;
  esac
}

# Wine's own tools (wineboot, sc, reg, winepath) are 64-bit programs in the 64-bit
# prefixes made here, and the 64-bit loader runs on every machine.
wine_tool() { /usr/lib/wine/wine64 "$@"; }

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

new_wine_prefix() {  # new_wine_prefix DIR: a fresh, fully set-up prefix, made the current one
  export WINEPREFIX=$1
  rm -rf "$WINEPREFIX"
  wine_tool wineboot -i >/dev/null 2>&1
  # The new prefix finishes setting itself up in the background; a window created
  # before that fails.
  wineserver -w
}

skip_unless_native() {  # skip_unless_native WIDTH: ends the script with 77 (skipped) and why
  runs_natively "$1" && return 0
  echo "skipped: $1 programs do not run here: $PXUSB_I686_SKIPPED"
  exit 77
}

start_driver() {  # start_driver WIDTH SYS: installs (once per prefix) and starts the pxusb driver
  # Wine's services.exe loads a driver in a host process of the width of the program
  # that created its service, so `sc` runs at the driver's width.
  local sc path
  sc=$(wine_loader "$1")
  path=$(wine_tool winepath -w "$2" 2>/dev/null | tr -d '\r')
  "$sc" sc create pxusb type= kernel start= demand binPath= "$path" >/dev/null 2>&1
  "$sc" sc start pxusb >/dev/null || { echo "the pxusb driver did not start" >&2; return 1; }
}
