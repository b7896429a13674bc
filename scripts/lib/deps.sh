# Shared by the scripts: installs the Debian packages the build needs, when
# they are missing. Needs root (or sudo) only when something is missing.

VELORIX_BUILD_PACKAGES=(build-essential cmake libgtest-dev libgmock-dev qt6-base-dev clang libclang-rt-14-dev)
# A private X server with a small window manager, and the tools to look at
# and close its windows: the window-manager test and scripts/screenshots.
VELORIX_DESKTOP_PACKAGES=(xvfb openbox x11-utils wmctrl)

missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

install_packages() {
  local missing
  missing=$(missing_packages "$@")
  [ -z "$missing" ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: $missing" >&2
  $sudo apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
}

install_build_deps() {
  install_packages "${VELORIX_BUILD_PACKAGES[@]}"
}

install_desktop_deps() {
  install_packages "${VELORIX_DESKTOP_PACKAGES[@]}"
}

# A locale whose decimal point is a comma, so the tests can show that the
# results files never follow the process locale.
install_decimal_comma_locale() {
  locale -a 2>/dev/null | grep -qix 'de_DE.utf-\?8' && return 0
  install_packages locales
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "could not make the de_DE.UTF-8 locale; its test will be skipped" >&2
}
