# SQLite, and libnftnl with libmnl for the regulator. Host builds use Debian's
# -dev packages through pkg-config; the cross build points SIPTRUNK_DEPS_PREFIX
# at libraries it built for the target from Debian's source packages.
set(SIPTRUNK_DEPS_PREFIX "" CACHE PATH "Prefix holding cross-built dependencies (include/, lib/)")

# A host build with SIPTRUNK_DEVICE_BUILD compiles SQLite itself, from the
# amalgamation of Debian's source (tools/sqlite-amalgamation.sh, run here once
# and cached in the build folder) with the same options as the target's
# libsqlite3.a (cmake/sqlite-device-options.txt).
set(SIPTRUNK_SQLITE_AMALGAMATION "" CACHE PATH
  "Folder holding sqlite3.c and sqlite3.h for SIPTRUNK_DEVICE_BUILD (default: generated in the build folder)")

if(SIPTRUNK_DEVICE_BUILD AND NOT SIPTRUNK_DEPS_PREFIX)
  if(NOT SIPTRUNK_SQLITE_AMALGAMATION)
    set(amalgamation ${CMAKE_BINARY_DIR}/sqlite-amalgamation)
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/tools/sqlite-amalgamation.sh ${amalgamation} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "tools/sqlite-amalgamation.sh failed: SIPTRUNK_DEVICE_BUILD needs SQLite's "
        "amalgamation (or give a folder with sqlite3.c as SIPTRUNK_SQLITE_AMALGAMATION)")
    endif()
  else()
    set(amalgamation ${SIPTRUNK_SQLITE_AMALGAMATION})
  endif()
  file(STRINGS ${CMAKE_SOURCE_DIR}/cmake/sqlite-device-options.txt sqlite_options REGEX "^-D")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/sqlite-device-options.txt)
  add_library(siptrunk_sqlite3 STATIC ${amalgamation}/sqlite3.c)
  target_compile_definitions(siptrunk_sqlite3 PRIVATE HAVE_USLEEP=1)
  # SQLite's own code is not held to our warning flags: only the size ones.
  # No unwind tables: C code that no exception ever passes through (the one
  # callback into our code, the busy handler, does not throw).
  set_property(TARGET siptrunk_sqlite3 PROPERTY COMPILE_OPTIONS ${sqlite_options}
    -Os -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables -fno-unwind-tables -w)
  target_include_directories(siptrunk_sqlite3 SYSTEM INTERFACE ${amalgamation})
  target_link_libraries(siptrunk_sqlite3 INTERFACE ${CMAKE_DL_LIBS} m Threads::Threads)
  add_library(siptrunk::sqlite ALIAS siptrunk_sqlite3)
  if(SIPTRUNK_WITH_NFTABLES)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(NFTNL REQUIRED IMPORTED_TARGET libnftnl libmnl)
    add_library(siptrunk::nftnl ALIAS PkgConfig::NFTNL)
  endif()
elseif(SIPTRUNK_DEPS_PREFIX)
  add_library(siptrunk::sqlite INTERFACE IMPORTED)
  target_include_directories(siptrunk::sqlite INTERFACE ${SIPTRUNK_DEPS_PREFIX}/include)
  target_link_libraries(siptrunk::sqlite INTERFACE ${SIPTRUNK_DEPS_PREFIX}/lib/libsqlite3.a ${CMAKE_DL_LIBS} m)
  if(SIPTRUNK_WITH_NFTABLES)
    add_library(siptrunk::nftnl INTERFACE IMPORTED)
    target_include_directories(siptrunk::nftnl INTERFACE ${SIPTRUNK_DEPS_PREFIX}/include)
    target_link_libraries(siptrunk::nftnl INTERFACE
      ${SIPTRUNK_DEPS_PREFIX}/lib/libnftnl.a ${SIPTRUNK_DEPS_PREFIX}/lib/libmnl.a)
  endif()
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
  add_library(siptrunk::sqlite ALIAS PkgConfig::SQLITE3)
  if(SIPTRUNK_WITH_NFTABLES)
    pkg_check_modules(NFTNL REQUIRED IMPORTED_TARGET libnftnl libmnl)
    add_library(siptrunk::nftnl ALIAS PkgConfig::NFTNL)
  endif()
endif()
