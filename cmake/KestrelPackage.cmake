# The Debian package of a kestrel build: `cpack -G DEB` in the build folder
# (scripts/package.sh configures, builds and packs) writes
# kestrel_<version>_<arch>.deb with everything `cmake --install` puts under
# /usr: libraries, the kestrel command and its man page, the public headers,
# the CMake package, the Python package, the bundled store, calendar and
# examples. Configure with -DCMAKE_INSTALL_PREFIX=/usr for Debian's own layout
# (libraries in lib/<multiarch>/, the Python package in lib/python3/dist-packages).
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "The Debian package wants -DCMAKE_INSTALL_PREFIX=/usr (this build's prefix is "
                 "${CMAKE_INSTALL_PREFIX}; scripts/package.sh sets it)")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR kestrel)
set(CPACK_PACKAGE_CONTACT "kestrel developers <kestrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Equity options and autocallable notes on China A-share underlyings")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "kestrel values vanilla, digital, barrier, double-barrier, double-touch and Asian options and the snowball and phoenix notes on the Shanghai Stock Exchange calendar.\n The package holds the kestrel command, its C++ libraries with headers and CMake package (find_package(kestrel)), the Python package kestrel, and a bundled price store with examples in /usr/share/kestrel.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)   # kestrel_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# Depends: the Debian 12 runtime packages of the libraries every binary here
# links (CI checks each ELF file's NEEDED libraries against this list).
# Highway (libhwy1) is the Monte Carlo kernels' run-time dispatch, linked shared.
set(depends libc6 libstdc++6 libgcc-s1 libquantlib0v5 libsqlite3-0 liblunar-date-3.0-1 libhwy1)
if(TARGET kestrel::book_report)
  list(APPEND depends libxlsxwriter4)
endif()
if(KESTREL_BUILD_PYTHON)
  # _core is built for this one interpreter version.
  math(EXPR next_minor "${Python3_VERSION_MINOR} + 1")
  list(APPEND depends "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR})"
                      "python3 (<< ${Python3_VERSION_MAJOR}.${next_minor})" python3-numpy python3-pandas)
endif()
list(JOIN depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# find_package(kestrel) in a C++ project needs the headers of what kestrel's
# own headers include and what its CMake package looks for.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
  "cmake, pkg-config, g++, libquantlib0-dev, libboost-dev, nlohmann-json3-dev, libsqlite3-dev")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-distributed, python3-dask, python3-openpyxl")

include(CPack)
