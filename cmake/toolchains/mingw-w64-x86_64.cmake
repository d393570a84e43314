# Cross-builds Quillon.dll and its programs for 64-bit Windows with Debian's MinGW-w64 GCC, in its
# posix-threads variant (std::thread and std::mutex need it), and runs what it builds under Wine.
#
# What the build needs beyond the compiler comes from `scripts/install-deps.sh --windows`: zlib from
# Debian's MinGW package (in the compiler's own sysroot), and a prefix of cross-built minizip and
# GoogleTest beside links to the portable header-only libraries (asio, CLI11). The prefix is
# /opt/quillon-mingw unless QUILLON_MINGW_PREFIX (a cache variable or the environment) says otherwise.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUILLON_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUILLON_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLON_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLON_MINGW_TRIPLE}-windres)

if(NOT QUILLON_MINGW_PREFIX)
  if(DEFINED ENV{QUILLON_MINGW_PREFIX} AND NOT "$ENV{QUILLON_MINGW_PREFIX}" STREQUAL "")
    set(QUILLON_MINGW_PREFIX "$ENV{QUILLON_MINGW_PREFIX}")
  else()
    set(QUILLON_MINGW_PREFIX /opt/quillon-mingw)
  endif()
endif()
set(QUILLON_MINGW_PREFIX "${QUILLON_MINGW_PREFIX}" CACHE PATH "Prefix of the cross-built dependencies")
# try_compile projects load this file again; they must see the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLON_MINGW_PREFIX)

# Libraries, headers and packages only from the Windows side; programs (pkg-config, wine) from the
# build machine. The host's /usr/include must never reach a Windows compile.
set(CMAKE_FIND_ROOT_PATH /usr/${QUILLON_MINGW_TRIPLE} "${QUILLON_MINGW_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees only the prefix's .pc files (minizip), never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "${QUILLON_MINGW_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# The C and C++ runtimes (libgcc, libstdc++, winpthread) and zlib go into each module, so that the
# DLL and the programs start under Wine or on a bare Windows machine without runtime DLLs beside
# them. Each module then has its own copy of libstdc++; they share msvcrt's heap, which is what lets
# strings and vectors cross the DLL's C++ interface.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test discovery (gtest_discover_tests) and CTest run the .exe files through Wine.
get_filename_component(_quillon_source_dir "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_quillon_source_dir}/scripts/wine-run.sh")
