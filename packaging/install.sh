#!/bin/sh
# Installs Velquin Remote Desktop for this user, from the folder this script is in:
#   ./install.sh              the program into ~/.local/lib/velquin (the folder updates replace),
#                             its menu entry and icons into your XDG data folder, and a
#                             velquin-host command into ~/.local/bin
#   ./install.sh --uninstall  removes all of that again (your settings, PIN and received files stay)
# Nothing here needs root. VELQUIN_PREFIX changes where the program goes.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
data=${XDG_DATA_HOME:-$HOME/.local/share}
config=${XDG_CONFIG_HOME:-$HOME/.config}
prefix=${VELQUIN_PREFIX:-$HOME/.local/lib/velquin}
bindir=$HOME/.local/bin
entry=$data/applications/velquin-host.desktop

. "$here/share/velquin/lib.sh"

say() { printf 'velquin: %s\n' "$*"; }
fail() { printf 'velquin: %s\n' "$*" >&2; exit 1; }

remove_icons() {
  for icon in "$data"/icons/hicolor/*/apps/velquin-host.png "$data"/icons/hicolor/scalable/apps/velquin-host.svg; do
    [ -e "$icon" ] && rm -f "$icon"
  done
  return 0
}

refresh_menus() {
  command -v update-desktop-database >/dev/null 2>&1 && update-desktop-database -q "$data/applications" 2>/dev/null
  command -v gtk-update-icon-cache >/dev/null 2>&1 && gtk-update-icon-cache -q -t -f "$data/icons/hicolor" 2>/dev/null
  return 0
}

if [ "${1:-}" = "--uninstall" ]; then
  rm -rf "$prefix" "$prefix.old" "$prefix.staging" "$prefix.new"
  rm -f "$entry" "$config/autostart/velquin-host.desktop"
  [ -L "$bindir/velquin-host" ] && rm -f "$bindir/velquin-host"
  remove_icons
  refresh_menus
  say "removed (settings stay in $config/Velquin)"
  exit 0
fi
[ $# -eq 0 ] || fail "usage: install.sh [--uninstall]"

[ -x "$here/bin/velquin-host" ] && [ -f "$here/.velquin-install" ] || fail "run this script from the unpacked velquin folder"

# The libraries and GStreamer plugins the program needs come from the system. On Debian and
# Ubuntu the packages are known by name (the same the .deb depends on).
packages=$here/share/velquin/debian-packages
if command -v dpkg-query >/dev/null 2>&1 && [ -f "$packages" ]; then
  absent=""
  for package in $(cat "$packages"); do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q ' installed$' || absent="$absent $package"
  done
  if [ -n "$absent" ]; then
    say "this system lacks packages the program needs; install them with"
    say "  sudo apt-get install$absent"
    fail "then run this script again"
  fi
fi
missing=$(ldd "$here/bin/velquin-host" 2>/dev/null | awk '/not found/ { print $1 }' | tr '\n' ' ')
[ -z "$missing" ] || fail "these libraries are missing: $missing; install them, then run this script again"

# Copied beside the old copy first, then swapped in, so a failed copy leaves the old one whole.
if [ "$here" != "$(cd "$prefix" 2>/dev/null && pwd || true)" ]; then
  mkdir -p "$(dirname "$prefix")"
  rm -rf "$prefix.new"
  cp -R "$here" "$prefix.new" || { rm -rf "$prefix.new"; fail "cannot copy into $prefix.new"; }
  rm -rf "$prefix.old"
  [ -e "$prefix" ] && mv "$prefix" "$prefix.old"
  mv "$prefix.new" "$prefix"
  rm -rf "$prefix.old"
fi

program=$prefix/bin/velquin-host
mkdir -p "$data/applications"
write_desktop_entry "$prefix/share/applications/velquin-host.desktop" "$entry" "$program"

remove_icons
mkdir -p "$data/icons"
cp -R "$prefix/share/icons/hicolor" "$data/icons/"
mkdir -p "$bindir"
ln -sfn "$program" "$bindir/velquin-host"
# A login entry written by an earlier install starts what the menu entry starts now.
if [ -f "$config/autostart/velquin-host.desktop" ]; then
  write_desktop_entry "$config/autostart/velquin-host.desktop" "$config/autostart/velquin-host.desktop" "$program"
fi
refresh_menus

say "installed $("$program" --version 2>/dev/null || echo velquin-host) in $prefix"
say "open \"Velquin Remote Desktop\" from your application menu, or run $program"
