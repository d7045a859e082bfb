# SIPTRUNK_DEVICE_BUILD: build as the device runs the programs, also on the
# build machine, so that its size and memory can be measured there
# (`make bench`): statically linked, optimised for size, every function and
# object in a section of its own so that the link drops what nothing uses,
# and SQLite compiled with the device's options
# (cmake/sqlite-device-options.txt; cmake/Dependencies.cmake). The PowerPC
# build (`make ppc`) is always configured this way.
option(SIPTRUNK_DEVICE_BUILD "Build as for the device: static, -Os, --gc-sections, SQLite with the device's options" OFF)

if(SIPTRUNK_DEVICE_BUILD)
  if(SIPTRUNK_SANITIZE)
    message(FATAL_ERROR "SIPTRUNK_DEVICE_BUILD links statically: it cannot be combined with SIPTRUNK_SANITIZE")
  endif()
  # Given after the build type's -O flag, -Os wins.
  add_compile_options(-Os -ffunction-sections -fdata-sections)
  string(APPEND CMAKE_EXE_LINKER_FLAGS " -static -Wl,--gc-sections")
  # The build machine's linker (x86-64) pads code into pages of its own
  # (-z separate-code); the PowerPC linker lays a static program out without
  # that padding. The host's device build is laid out as the target's, so
  # that its size stands for the device's.
  if(NOT CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
    string(APPEND CMAKE_EXE_LINKER_FLAGS " -Wl,-z,noseparate-code")
  endif()
  # Debian ships libnftnl and libmnl as shared libraries only: a static host
  # build goes without the regulator (it then reports itself unavailable).
  if(NOT CMAKE_CROSSCOMPILING AND SIPTRUNK_WITH_NFTABLES)
    message(STATUS "SIPTRUNK_DEVICE_BUILD on the build machine: no static libnftnl, building without the regulator")
    set(SIPTRUNK_WITH_NFTABLES OFF CACHE BOOL "" FORCE)
  endif()
endif()
