# Sourced by the scripts: installs the Debian packages given as arguments when any is missing.
ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "installing them needs root: ${missing[*]}" >&2; return 1; }
    sudo="sudo"
  fi
  $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# What the build and its programs need on a fresh Debian 12 machine (restic: the fleet backups).
BUILD_PACKAGES=(cmake g++ make pkg-config libinih-dev libsystemd-dev zlib1g-dev qt6-base-dev libgl-dev libglib2.0-dev
  libxkbcommon-dev xkb-data libevdev-dev libx11-dev libxtst-dev restic)
TEST_PACKAGES=(googletest libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev xvfb xauth
  dbus-daemon)
