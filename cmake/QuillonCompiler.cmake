# Warnings and sanitizers for Quillon's own targets. Third-party code is never built with them.

add_library(quillon_compile_options INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(quillon_compile_options INTERFACE -Wall -Wextra -Werror)
elseif(MSVC)
  target_compile_options(quillon_compile_options INTERFACE /W4 /WX)
endif()

if(QUILLON_SANITIZE)
  string(REPLACE ";" "," _quillon_sanitizers "${QUILLON_SANITIZE}")
  set(_quillon_san_flags -fsanitize=${_quillon_sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_compile_options(quillon_compile_options INTERFACE ${_quillon_san_flags})
  target_link_options(quillon_compile_options INTERFACE ${_quillon_san_flags})
endif()

# libFuzzer needs every piece of our code instrumented for coverage; only the fuzz targets link it.
if(QUILLON_LIBFUZZER)
  target_compile_options(quillon_compile_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

# Applies Quillon's warnings and sanitizers to a target of ours.
function(quillon_target_defaults target)
  target_link_libraries(${target} PRIVATE quillon_compile_options)
endfunction()
