# The C interface of Quillon.dll for hosts built with other compilers: a module-definition file
# that lists each C function of quillon_c.h, and an import library made from it with dlltool, which
# MSVC's linker takes as it takes its own. The list comes from the header, so that a function added
# there cannot be left out here.

# quillon_windows_c_exports(<dll target> <header>): writes Quillon.def at configure time and
# Quillon.lib after each link of the target, beside the DLL, and installs both.
function(quillon_windows_c_exports target header)
  file(STRINGS "${header}" declarations REGEX "^QUILLON_C_API ")
  set(names)
  foreach(declaration IN LISTS declarations)
    if(declaration MATCHES "(quillon_[a-z0-9_]+)\\(")
      list(APPEND names "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  list(JOIN names "\n    " exports)
  set(def_file "${CMAKE_CURRENT_BINARY_DIR}/Quillon.def")
  file(WRITE "${def_file}.in" "LIBRARY Quillon.dll\nEXPORTS\n    ${exports}\n")
  configure_file("${def_file}.in" "${def_file}" COPYONLY)
  set(QUILLON_C_EXPORTS "${names}" PARENT_SCOPE)

  find_program(QUILLON_DLLTOOL NAMES ${QUILLON_MINGW_TRIPLE}-dlltool dlltool REQUIRED)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${QUILLON_DLLTOOL}" --input-def "${def_file}" --dllname Quillon.dll
            --output-lib "$<TARGET_FILE_DIR:${target}>/Quillon.lib"
    COMMENT "Writing Quillon.lib, the import library of the C interface for MSVC"
    VERBATIM)
  install(FILES "${def_file}" "$<TARGET_FILE_DIR:${target}>/Quillon.lib" DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()
