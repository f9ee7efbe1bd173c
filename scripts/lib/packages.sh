# Sourced by the scripts: installs the Debian packages a script needs.

# ensure_packages CALLER ENTRY...: ENTRY is a Debian package, or COMMAND:PACKAGE when the
# command the script needs has another name than its package. An entry counts as present
# when dpkg has its package installed or its command is on PATH (a tool installed some other
# way, npm bundled with a Node.js build, say). The rest are installed with apt-get, after an
# apt-get update; without root the call fails and says what is missing. CALLER names the
# script in that message.
ensure_packages() {
  local caller=$1 entry command package missing=()
  shift
  for entry in "$@"; do
    command=${entry%%:*}
    package=${entry##*:}
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      command -v "$command" >/dev/null || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "$caller: missing packages (${missing[*]}); run as root to install them" >&2
    return 1
  fi
  echo "==> installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q --no-install-recommends "${missing[@]}"
}
