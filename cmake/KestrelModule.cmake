# kestrel_add_module(<name> SOURCES <src>... HEADERS <hdr>... [INTERNAL] [DEPS <target>...] [PRIVATE_DEPS <target>...])
#
# Makes the shared library kestrel_<name> and its alias kestrel::<name>,
# installs it into the exported package and its HEADERS under include/<HEADER_DIR>/.
# It is built with hidden symbol visibility: only declarations its public header
# marks with the library's export macro (kestrel/export.hpp) are exported;
# QuantLib's singletons stay shared (cmake/quantlib_visibility.hpp).
#
# INTERNAL makes a static library of position-independent code instead: an
# engine that the shared libraries using it link privately (each keeps its own
# hidden copy) and that tests and benchmarks link directly. It is neither
# installed nor exported, and its HEADERS are not installed.
function(kestrel_add_module name)
  cmake_parse_arguments(M "INTERNAL" "HEADER_DIR" "SOURCES;HEADERS;DEPS;PRIVATE_DEPS" ${ARGN})
  if(NOT M_HEADER_DIR)
    set(M_HEADER_DIR kestrel)
  endif()
  set(target kestrel_${name})
  if(M_INTERNAL)
    add_library(${target} STATIC ${M_SOURCES})
  else()
    add_library(${target} SHARED ${M_SOURCES})
  endif()
  add_library(kestrel::${name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${name}
    OUTPUT_NAME kestrel_${name}
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  if(NOT M_INTERNAL)
    set_target_properties(${target} PROPERTIES
      VERSION ${PROJECT_VERSION}
      SOVERSION ${PROJECT_VERSION_MAJOR}
      INSTALL_RPATH "$ORIGIN")
  endif()
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${KESTREL_WERROR}>:-Werror>
    "SHELL:-include ${PROJECT_SOURCE_DIR}/cmake/quantlib_visibility.hpp")
  if(M_DEPS)
    target_link_libraries(${target} PUBLIC ${M_DEPS})
  endif()
  if(M_PRIVATE_DEPS)
    target_link_libraries(${target} PRIVATE ${M_PRIVATE_DEPS})
  endif()
  if(M_INTERNAL)
    return()
  endif()
  install(TARGETS ${target} EXPORT kestrelTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  kestrel_install_headers(${M_HEADER_DIR} ${M_HEADERS})
endfunction()

# kestrel_install_headers(<dir> <hdr>...)
#
# A module's public headers, each at its place below include/<dir>/: those
# directly in kestrel/ or heron/, or in kestrel/market/ and kestrel/notes/ for
# the modules whose API lives there. The engines' headers (engines/) are
# internal and refused here: the few that public headers still include are
# listed, one by one, with kestrel_install_internal_headers().
function(kestrel_install_headers dir)
  foreach(h IN LISTS ARGN)
    if(h MATCHES "^engines/")
      message(FATAL_ERROR "${h}: an engine's header is internal and not installed as API "
                          "(see kestrel_install_internal_headers)")
    endif()
    get_filename_component(sub ${h} DIRECTORY)
    install(FILES ${h} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${dir}/${sub})
  endforeach()
endfunction()

# kestrel_install_internal_headers(<hdr>...)
#
# Internal headers (paths relative to kestrel/) that an installed public header
# includes, installed at the same relative place so the public one compiles.
# Nothing they declare is exported; the package test checks that the installed
# headers include only installed headers.
function(kestrel_install_internal_headers)
  foreach(h IN LISTS ARGN)
    get_filename_component(sub ${h} DIRECTORY)
    install(FILES ${h} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrel/${sub})
  endforeach()
endfunction()
