# SQLite, and libnftnl with libmnl for the regulator. Host builds use Debian's
# -dev packages through pkg-config; the cross build points SIPTRUNK_DEPS_PREFIX
# at libraries it built for the target from Debian's source packages.
set(SIPTRUNK_DEPS_PREFIX "" CACHE PATH "Prefix holding cross-built dependencies (include/, lib/)")

if(SIPTRUNK_DEPS_PREFIX)
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
