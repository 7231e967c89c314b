# Shell functions shared by setup, the release tool, the package checks and install.sh (which
# finds this file in the tree it installs, at share/velquin/lib.sh).

# The Exec value of a desktop entry that starts PROGRAM: a path with spaces or special
# characters goes in double quotes, with " ` $ \ escaped, as desktop entries require.
desktop_exec_line() {
  case "$1" in
    *[!A-Za-z0-9_./+-]*) printf '"%s"' "$(printf '%s' "$1" | sed 's/[\\"`$]/\\&/g')" ;;
    *) printf '%s' "$1" ;;
  esac
}

# Writes TEMPLATE to ENTRY with its Exec line starting PROGRAM, replacing ENTRY in one step.
write_desktop_entry() {
  _replacement=$(desktop_exec_line "$3" | sed 's/[&|\\]/\\&/g')
  sed "s|^Exec=.*|Exec=$_replacement|" "$1" > "$2.tmp" && mv "$2.tmp" "$2"
}

# The version in the project's CMakeLists.txt, below SOURCE_DIR.
project_version() {
  sed -n 's/^project(velquin_host VERSION \([0-9.]*\).*/\1/p' "$1/CMakeLists.txt"
}
