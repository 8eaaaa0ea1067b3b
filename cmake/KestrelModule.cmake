# kestrel_add_module(<name> SOURCES <src>... HEADERS <hdr>... [DEPS <target>...] [PRIVATE_DEPS <target>...])
#
# Makes the shared library kestrel_<name>, its alias kestrel::<name>, installs it
# into the exported package and its headers under include/<subdir>/.
function(kestrel_add_module name)
  cmake_parse_arguments(M "" "HEADER_DIR" "SOURCES;HEADERS;DEPS;PRIVATE_DEPS" ${ARGN})
  if(NOT M_HEADER_DIR)
    set(M_HEADER_DIR kestrel)
  endif()
  set(target kestrel_${name})
  add_library(${target} SHARED ${M_SOURCES})
  add_library(kestrel::${name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${name}
    OUTPUT_NAME kestrel_${name}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    INSTALL_RPATH "$ORIGIN"
    CXX_VISIBILITY_PRESET default)
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${KESTREL_WERROR}>:-Werror>)
  if(M_DEPS)
    target_link_libraries(${target} PUBLIC ${M_DEPS})
  endif()
  if(M_PRIVATE_DEPS)
    target_link_libraries(${target} PRIVATE ${M_PRIVATE_DEPS})
  endif()
  install(TARGETS ${target} EXPORT kestrelTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${M_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${M_HEADER_DIR})
endfunction()
