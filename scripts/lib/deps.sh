# Shared by the scripts: installs the Debian packages the build needs, when
# they are missing. Needs root (or sudo) only when something is missing.
# Everything an install prints goes to standard error: the scripts' standard
# output carries only what they promise (a path, a file), and a reader that
# takes one line of it must never get apt's progress instead.

VELORIX_BUILD_PACKAGES=(build-essential cmake pkg-config libgtest-dev libgmock-dev qt6-base-dev libxlsxwriter-dev libsqlite3-dev clang libclang-rt-14-dev)
# Man pages, icons, and the tests that check them and the metainfo.
VELORIX_BUILD_PACKAGES+=(help2man imagemagick librsvg2-bin man-db appstream)
# Beyond the build, for the test suite: the reader its workbook check opens the
# .xlsx with.
VELORIX_TEST_PACKAGES=(python3 python3-openpyxl)
# For scripts/test's check of the workbook in a real spreadsheet program, and
# the picture of its charts: poppler-utils turns the printed page into a PNG.
VELORIX_SPREADSHEET_PACKAGES=(python3 libreoffice-calc-nogui poppler-utils)
# tests/qemu/run: the emulator, the guest's userland and the initramfs packer.
VELORIX_QEMU_TEST_PACKAGES=(qemu-system-x86 busybox-static cpio)
# What scripts/package and scripts/check-package need on top: dpkg-shlibdeps
# for the package's dependencies, lintian to check it.
VELORIX_PACKAGE_PACKAGES=(dpkg-dev lintian)
# A private X server with a small window manager, and xprop to read its
# windows: the window-manager test and scripts/screenshots.
VELORIX_DESKTOP_PACKAGES=(xvfb openbox x11-utils)

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
  $sudo apt-get update -qq >&2
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >&2
}

install_build_deps() {
  install_packages "${VELORIX_BUILD_PACKAGES[@]}"
}

install_desktop_deps() {
  install_packages "${VELORIX_DESKTOP_PACKAGES[@]}"
}

install_test_deps() {
  install_packages "${VELORIX_TEST_PACKAGES[@]}"
}

# install_locale LANGUAGE_TERRITORY: makes the UTF-8 locale, e.g. de_DE.UTF-8,
# unless it is there. Fails when it cannot.
install_locale() {
  locale -a 2>/dev/null | grep -qix "$1.utf-\?8" && return 0
  install_packages locales
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo localedef -i "$1" -f UTF-8 "$1.UTF-8" >&2
}

# A locale whose decimal point is a comma, so the tests can show that the
# results files never follow the process locale.
install_decimal_comma_locale() {
  install_locale de_DE || echo "could not make the de_DE.UTF-8 locale; its test will be skipped" >&2
}

# LibreOffice and the two locales the workbook is opened under: one with a
# decimal comma, one with a full stop.
install_spreadsheet_deps() {
  install_packages "${VELORIX_SPREADSHEET_PACKAGES[@]}"
  install_locale de_DE
  install_locale en_US
}
