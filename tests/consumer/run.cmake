# Installs a kestrel build into a fresh prefix, builds tests/consumer against
# it with find_package(kestrel) and runs it on the installed bundled store;
# then runs the installed command line.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=... -P run.cmake
foreach(v BUILD_DIR SOURCE_DIR WORK_DIR GENERATOR)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "run.cmake needs -D${v}=...")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/build -G ${GENERATOR}
                        -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=${prefix}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${WORK_DIR}/build/consumer ${prefix}/share/kestrel/prices.db COMMAND_ERROR_IS_FATAL ANY)

# The installed program finds its libraries and its bundled store on its own.
if(EXISTS ${prefix}/bin/kestrel)
  set(args price ${SOURCE_DIR}/examples/vanilla.json --spot 3936.0791 --r 0.018 --vol 0.2 --q 0.015
           --date 2025-06-30)
  execute_process(COMMAND ${prefix}/bin/kestrel ${args} OUTPUT_VARIABLE installed COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${BUILD_DIR}/bin/kestrel ${args} OUTPUT_VARIABLE built COMMAND_ERROR_IS_FATAL ANY)
  if(NOT installed STREQUAL built)
    message(FATAL_ERROR "installed kestrel printed '${installed}', the build tree's '${built}'")
  endif()
  message(STATUS "installed kestrel: ${installed}")
endif()
