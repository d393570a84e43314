# Fails unless the DLL's export table lists each name, undecorated, as a host built with another
# compiler, or a foreign-function interface, looks it up.
#   cmake -DOBJDUMP=<objdump> -DDLL=<Quillon.dll> -DNAMES=<a;b;...> -P CheckExports.cmake
execute_process(COMMAND "${OBJDUMP}" -p "${DLL}" OUTPUT_VARIABLE table RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
set(missing)
foreach(name IN LISTS NAMES)
  if(NOT table MATCHES "\\] ${name}\n")
    list(APPEND missing "${name}")
  endif()
endforeach()
list(LENGTH NAMES count)
if(missing)
  message(FATAL_ERROR "${DLL} does not export, undecorated: ${missing}")
endif()
message(STATUS "${DLL} exports all ${count} C functions undecorated")
