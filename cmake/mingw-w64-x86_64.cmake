# Cross-compiles for 64-bit Windows with MinGW-w64 (Debian's posix-thread
# flavour, which std::thread needs). Test programs run under Wine through
# scripts/wine-run, which refuses to run outside scripts/wine-sandbox.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DVELORIX_WIN_DEPS=$PWD/build-win/deps
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# The libraries Debian has no MinGW package for (libxlsxwriter) are built into
# this prefix by scripts/lib/windows.sh.
set(VELORIX_WIN_DEPS "" CACHE PATH "Prefix holding the libraries built for Windows")
# try_compile projects read this file again and need the same search roots.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELORIX_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
if(VELORIX_WIN_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH "${VELORIX_WIN_DEPS}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The host's pkg-config, but reading only the Windows .pc files: the ones of
# the deps prefix first, so pkg_check_modules(xlsxwriter) finds our build.
set(ENV{PKG_CONFIG_LIBDIR} "${VELORIX_WIN_DEPS}/lib/pkgconfig:/usr/x86_64-w64-mingw32/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Link zlib statically: libz.dll.a would need zlib1.dll beside the .exe, and
# Wine brings a zlib1.dll of its own, so the tests would not notice.
set(ZLIB_USE_STATIC_LIBS ON)

# Static libgcc, libstdc++ and winpthread: the .exe imports only Windows' own
# DLLs and runs from any folder.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# add_test and gtest_discover_tests run the .exe files under Wine.
get_filename_component(_velorix_source_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_velorix_source_root}/scripts/wine-run")
unset(_velorix_source_root)
