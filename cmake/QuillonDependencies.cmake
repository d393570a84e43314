# Every dependency comes from the distribution's packages (scripts/install-deps.sh installs them).

set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)
find_package(PkgConfig REQUIRED)

# minizip's classic 1.x interface.
pkg_check_modules(MINIZIP REQUIRED IMPORTED_TARGET minizip)

# Standalone asio is header-only.
find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
add_library(quillon_asio INTERFACE)
target_include_directories(quillon_asio SYSTEM INTERFACE "${ASIO_INCLUDE_DIR}")
target_compile_definitions(quillon_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
target_link_libraries(quillon_asio INTERFACE Threads::Threads)
if(WIN32)
  target_link_libraries(quillon_asio INTERFACE ws2_32 mswsock)
  # Windows 7 and later: asio's default, named so that it need not warn, and what the serial line's
  # CancelIoEx needs.
  target_compile_definitions(quillon_asio INTERFACE _WIN32_WINNT=0x0601)
endif()
# GCC 12 refuses asio's handler fences under ThreadSanitizer (-Wtsan). They only back up the
# scheduler's own locking, which ThreadSanitizer sees.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND QUILLON_SANITIZE MATCHES "thread")
  target_compile_options(quillon_asio INTERFACE -Wno-tsan)
endif()

# libserialport lists the serial ports on POSIX systems; Windows reads the registry itself.
if(NOT WIN32)
  pkg_check_modules(LIBSERIALPORT REQUIRED IMPORTED_TARGET libserialport)
endif()

if(QUILLON_BUILD_TOOLS)
  find_package(CLI11 CONFIG REQUIRED)
endif()

if(QUILLON_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

if(QUILLON_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
