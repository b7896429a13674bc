# Shared by the scripts that build and test the Windows program: MinGW-w64 and
# Wine, libxlsxwriter built for Windows, and the settings Wine runs with.
#   install_windows_deps
#   build_windows_deps DEPS_PREFIX        libxlsxwriter and SQLite, below
#   build_windows_xlsxwriter DEPS_PREFIX [WORK_DIR]
#   build_windows_sqlite DEPS_PREFIX [WORK_DIR]
#   wine_env PREFIX            exports the Wine settings for the prefix PREFIX
#   wine_check_safe            fails unless no serial port is in sight of Wine
#   wine_prefix_init PREFIX    makes PREFIX; only inside scripts/wine-sandbox
#
# Every wine, wineboot and wineserver runs inside scripts/wine-sandbox: Wine
# maps COM1 to /dev/ttyS0 and the wineserver opens it, and here that device is
# the machine's console.

VELORIX_WINDOWS_LIB=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
declare -F install_packages >/dev/null || source "$VELORIX_WINDOWS_LIB/deps.sh"

VELORIX_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 wine libz-mingw-w64-dev googletest)
# Wine's own fonts: the title bars' buttons and the dialogs' text as on Windows.
VELORIX_WINDOWS_PACKAGES+=(fonts-wine)
# SQLite's amalgamation (sqlite3.c) is made from its source tree by a Tcl script.
VELORIX_WINDOWS_PACKAGES+=(tcl8.6)
# The installer (scripts/package-windows).
VELORIX_WINDOWS_INSTALLER_PACKAGES=(nsis)
VELORIX_MINGW_ROOT=/usr/x86_64-w64-mingw32
# Written in a Wine prefix once wine_prefix_init has finished it.
VELORIX_PREFIX_MARK=.velorix-prefix
VELORIX_DEB_SRC_LIST=/etc/apt/sources.list.d/velorix-deb-src.sources
VELORIX_MINGW_TOOLCHAIN=$(cd "$VELORIX_WINDOWS_LIB/../.." && pwd)/cmake/mingw-w64-x86_64.cmake

install_windows_deps() {
  install_packages "${VELORIX_WINDOWS_PACKAGES[@]}"
}

# The deb-src twin of every enabled deb entry in the deb822 source lists.
debian_src_entries() {
  local files=() f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$VELORIX_DEB_SRC_LIST" ] && files+=("$f")
  done
  [ ${#files[@]} -gt 0 ] || return 0
  awk '
    function flush() {
      if (types ~ /(^|[ \t])deb([ \t]|$)/ && enabled != "no" && body != "")
        printf "Types: deb-src\n%s\n\n", body
      types = ""; enabled = ""; body = ""; keep = 0
    }
    FNR == 1 { flush() }
    /^[ \t]*$/ { flush(); next }
    /^#/ { next }
    /^[ \t]/ { if (keep) body = body "\n" $0; next }
    { field = tolower($1); keep = 0 }
    field == "types:" { types = $0; sub(/^[^:]*:/, "", types); next }
    field == "enabled:" { enabled = tolower($2); next }
    field ~ /^(uris|suites|components|signed-by):$/ {
      keep = 1; body = (body == "" ? $0 : body "\n" $0); next
    }
    END { flush() }
  ' "${files[@]}"
}

# fetch_debian_source PACKAGE DIR: Debian's source package, unpacked in DIR.
# The deb-src entry it needs is there only for the download, even on failure.
fetch_debian_source() {
  local package=$1 dir=$2
  install_packages dpkg-dev
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  local list=$VELORIX_DEB_SRC_LIST
  (
    trap '$sudo rm -f "$list"; $sudo apt-get update -qq >&2 || true' EXIT
    debian_src_entries | $sudo tee "$list" >/dev/null
    if [ ! -s "$list" ]; then
      echo "no deb entry in /etc/apt/sources.list.d/*.sources to take the source from" >&2
      exit 1
    fi
    $sudo apt-get update -qq >&2
    cd "$dir" || exit 1
    apt-get source -qq --only-source "$package" >&2
  )
}

# debian_source_folder PACKAGE DIR: prints the folder of Debian's source of
# PACKAGE in DIR, fetching it first when it is not there.
debian_source_folder() {
  local package=$1 dir=$2 src
  src=$(find "$dir" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -n 1)
  if [ -z "$src" ]; then
    fetch_debian_source "$package" "$dir" || return 1
    src=$(find "$dir" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -n 1)
    [ -n "$src" ] || { echo "apt-get source $package left no source folder in $dir" >&2; return 1; }
  fi
  echo "$src"
}

# absolute_dir DIR: makes DIR and prints its absolute path.
absolute_dir() {
  mkdir -p "$1" && (cd "$1" && pwd)
}

# build_windows_xlsxwriter DEPS_PREFIX [WORK_DIR]: libxlsxwriter for Windows,
# static, with the static zlib, installed in DEPS_PREFIX (lib/, include/ and
# lib/pkgconfig/xlsxwriter.pc; lib/libz.a links to MinGW's static zlib). The
# source and the build go in WORK_DIR, by default DEPS_PREFIX's sibling
# xlsxwriter/. Does nothing once it is there.
build_windows_xlsxwriter() {
  [ -f "$1/lib/libxlsxwriter.a" ] && return 0
  local prefix work
  prefix=$(absolute_dir "$1") || return 1
  work=$(absolute_dir "${2:-$prefix/../xlsxwriter}") || return 1

  local src
  src=$(debian_source_folder libxlsxwriter "$work") || return 1

  # Its bundled minizip and tmpfileplus: MinGW has neither as a package.
  rm -rf "$work/build" "$work/stage"
  cmake -S "$src" -B "$work/build" \
    -DCMAKE_TOOLCHAIN_FILE="$VELORIX_MINGW_TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$work/stage" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF \
    -DZLIB_LIBRARY="$VELORIX_MINGW_ROOT/lib/libz.a" \
    -DZLIB_INCLUDE_DIR="$VELORIX_MINGW_ROOT/include" >/dev/null
  cmake --build "$work/build" -j"$(nproc)" >&2
  cmake --install "$work/build" >/dev/null

  # For pkg_check_modules, which looks for -l names in the -L folders first:
  # a libz.a beside ours, so -lz cannot pick libz.dll.a, and with it a
  # zlib1.dll the program does not ship.
  ln -sf "$VELORIX_MINGW_ROOT/lib/libz.a" "$work/stage/lib/libz.a"
  mkdir -p "$work/stage/lib/pkgconfig"
  # Relative to the .pc file itself, so a copied or moved deps folder works.
  cat > "$work/stage/lib/pkgconfig/xlsxwriter.pc" <<PC
prefix=\${pcfiledir}/../..
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: xlsxwriter
Description: libxlsxwriter, static, built for Windows
Version: $(sed -n 's/^#define LXW_VERSION "\(.*\)"/\1/p' "$src/include/xlsxwriter.h")
Libs: -L\${libdir} -lxlsxwriter -lz
Cflags: -I\${includedir}
PC
  # The library last: it marks a finished install.
  mkdir -p "$prefix/lib"
  mv "$work/stage/lib/libxlsxwriter.a" "$work/libxlsxwriter.a"
  cp -a "$work/stage/." "$prefix/"
  mv "$work/libxlsxwriter.a" "$prefix/lib/libxlsxwriter.a"
  rm -rf "$work/stage"
}

# build_windows_sqlite DEPS_PREFIX [WORK_DIR]: SQLite for Windows, static,
# built from Debian's source package (the version libsqlite3-dev has on
# Linux), installed in DEPS_PREFIX (lib/libsqlite3.a, include/sqlite3.h,
# lib/pkgconfig/sqlite3.pc). The source and the build go in WORK_DIR, by
# default DEPS_PREFIX's sibling sqlite/. Does nothing once it is there.
build_windows_sqlite() {
  [ -f "$1/lib/libsqlite3.a" ] && return 0
  local prefix work
  prefix=$(absolute_dir "$1") || return 1
  work=$(absolute_dir "${2:-$prefix/../sqlite}") || return 1

  local src
  src=$(debian_source_folder sqlite3 "$work") || return 1
  # The amalgamation, made on this machine (configure for the host: only its
  # Tcl script runs here), then compiled for Windows.
  rm -rf "$work/build" && mkdir -p "$work/build"
  (cd "$work/build" && "$src/configure" --disable-tcl >/dev/null && make sqlite3.c >&2) || return 1
  x86_64-w64-mingw32-gcc-posix -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION \
    -c "$work/build/sqlite3.c" -o "$work/build/sqlite3.o" || return 1
  local version
  version=$(sed -n 's/^#define SQLITE_VERSION *"\(.*\)"/\1/p' "$work/build/sqlite3.h")
  mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
  cp "$work/build/sqlite3.h" "$prefix/include/"
  cat > "$prefix/lib/pkgconfig/sqlite3.pc" <<PC
prefix=\${pcfiledir}/../..
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: SQLite
Description: SQLite, static, built for Windows
Version: $version
Libs: -L\${libdir} -lsqlite3
Cflags: -I\${includedir}
PC
  # The library last: it marks a finished install.
  rm -f "$work/build/libsqlite3.a"
  x86_64-w64-mingw32-ar rcs "$work/build/libsqlite3.a" "$work/build/sqlite3.o"
  mv "$work/build/libsqlite3.a" "$prefix/lib/libsqlite3.a"
}

# build_windows_deps DEPS_PREFIX: every library the Windows build links
# beside Windows' own.
build_windows_deps() {
  build_windows_xlsxwriter "$1" && build_windows_sqlite "$1"
}

# wine_env PREFIX: the settings every Wine command here runs with. No Mono or
# Gecko: there is no network to fetch them from, and nothing needs them. No
# winemenubuilder: it would give every shortcut an installer makes a menu
# entry and icons in the home folder, pointing into the prefix.
wine_env() {
  case $1 in
    /*) WINEPREFIX=$1 ;;
    *) WINEPREFIX=$PWD/$1 ;;
  esac
  export WINEPREFIX WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d"
}

# wine_own_user_folders PREFIX: Wine links the user's Documents, Desktop and
# the like to the home folder (the real one, for a prefix made before
# wine-sandbox gave each run a scratch HOME); here they are folders of the
# prefix, so what a program saves there stays in it.
wine_own_user_folders() {
  local link
  for link in "$1"/drive_c/users/*/*; do
    [ -L "$link" ] || continue
    rm -f "$link"
    mkdir -p "$link"
  done
}

# wine_check_safe: fails, saying why, when Wine could reach a serial port:
# one in this /dev, or a running wineserver that sees one (wine processes
# reuse a running wineserver whatever namespace it was started in).
wine_check_safe() {
  local p
  for p in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
    [ -e "$p" ] || [ -L "$p" ] || continue
    echo "$p is here, and Wine would map a COM port to it: run this inside scripts/wine-sandbox" >&2
    return 1
  done
  for p in /proc/[0-9]*; do
    case $(readlink "$p/exe" 2>/dev/null) in
      */wineserver*) ;;
      *) continue ;;
    esac
    if compgen -G "$p/root/dev/ttyS*" >/dev/null || compgen -G "$p/root/dev/ttyUSB*" >/dev/null ||
       compgen -G "$p/root/dev/ttyACM*" >/dev/null; then
      echo "wineserver ${p#/proc/} runs where serial ports are in sight; not starting Wine" >&2
      return 1
    fi
  done
}

# wine_prefix_init PREFIX: makes the prefix, with no COM port mapped (the
# tests map the ones they use), unless an earlier call finished it. Run it
# inside scripts/wine-sandbox while no wineserver runs for PREFIX: it waits
# for the wineserver to end so that the registry is written out.
wine_prefix_init() {
  wine_check_safe || return 1
  wine_env "$1"
  [ -f "$WINEPREFIX/system.reg" ] && wine_own_user_folders "$WINEPREFIX"
  [ -f "$WINEPREFIX/$VELORIX_PREFIX_MARK" ] && return 0
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    # Its complaints about the missing 32-bit Wine go to a log.
    if ! wineboot -i >"$WINEPREFIX/wineboot.log" 2>&1; then
      cat "$WINEPREFIX/wineboot.log" >&2
      return 1
    fi
  fi
  wine_own_user_folders "$WINEPREFIX"
  wine reg delete 'HKLM\Software\Wine\Ports' /f >/dev/null 2>&1 || true
  wine reg add 'HKLM\Software\Wine\Ports' /f >/dev/null
  wineserver -w
  # The links are made again from the Ports key at the wineserver's next start.
  rm -f "$WINEPREFIX"/dosdevices/com*
  touch "$WINEPREFIX/$VELORIX_PREFIX_MARK"
}
