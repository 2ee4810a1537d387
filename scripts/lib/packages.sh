# Installing the Debian packages a script needs, where they are missing. Sourced by the scripts.

# 1 when the package is installed.
package_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Refreshes the package indexes once per script (again after apt_updated=0).
apt_updated=0
apt_update() {
  if [[ $apt_updated == 0 ]]; then
    # A mirror in the middle of a sync can report an index error; what it has is enough.
    apt-get update || echo "apt-get update reported an error; going on with the indexes at hand"
    apt_updated=1
  fi
}

# Installs those of the packages named that are missing.
install_missing() {
  local missing=() p
  for p in "$@"; do
    package_installed "$p" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  printf '\n==> installing: %s\n' "${missing[*]}" >&2
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}
