# Configures tests/consumer_subdirectory (kestrel added with add_subdirectory,
# no build type: the including project's choice), builds its consumer and runs
# it.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=... [-DLAUNCHER=...] -P run.cmake
foreach(v BUILD_DIR SOURCE_DIR WORK_DIR GENERATOR)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "run.cmake needs -D${v}=...")
  endif()
endforeach()
set(launcher "")
if(LAUNCHER)
  set(launcher -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
endif()
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer_subdirectory -B ${WORK_DIR}
                        -G ${GENERATOR} -DKESTREL_SOURCE_DIR=${SOURCE_DIR} ${launcher}
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR} --target consumer OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${WORK_DIR}/consumer COMMAND_ERROR_IS_FATAL ANY)
