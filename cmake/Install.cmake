# What `make install` (cmake --install) puts in place: the daemons and
# siptrunkctl, their service files (systemd units, sysvinit scripts, the
# sysusers.d entry of the service user), the man pages made from
# docs/man/*.scd, and the example nftables ruleset. docs/install.md describes
# the result. Included last, so that every program target is known: a daemon's
# service files and man page are installed only when its program is built.
include(GNUInstallDirs)

set(SIPTRUNK_SYSTEMD_UNIT_DIR "${CMAKE_INSTALL_LIBDIR}/systemd/system" CACHE STRING
  "systemd unit directory (relative: below the prefix)")
set(SIPTRUNK_SYSUSERS_DIR "${CMAKE_INSTALL_LIBDIR}/sysusers.d" CACHE STRING
  "sysusers.d directory (relative: below the prefix)")
set(SIPTRUNK_INITD_DIR "" CACHE STRING "sysvinit script directory (empty: SYSCONFDIR/init.d)")
set(SIPTRUNK_MAN "AUTO" CACHE STRING "Man pages from docs/man/*.scd: ON (scdoc required), OFF or AUTO")
if(NOT SIPTRUNK_INITD_DIR)
  set(SIPTRUNK_INITD_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d")
endif()
# GNUInstallDirs' LIBDIR is lib64 or a multiarch directory on some systems;
# units and sysusers entries always live in lib/.
if(SIPTRUNK_SYSTEMD_UNIT_DIR STREQUAL "${CMAKE_INSTALL_LIBDIR}/systemd/system")
  set(SIPTRUNK_SYSTEMD_UNIT_DIR "lib/systemd/system")
endif()
if(SIPTRUNK_SYSUSERS_DIR STREQUAL "${CMAKE_INSTALL_LIBDIR}/sysusers.d")
  set(SIPTRUNK_SYSUSERS_DIR "lib/sysusers.d")
endif()

# The programs: the daemons and the settings client (an administration tool,
# page siptrunkctl(8)) in sbin.
# siptrunk-ua installs itself (ua/CMakeLists.txt).
install(TARGETS siptrunk-agent RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
if(TARGET siptrunkctl)
  install(TARGETS siptrunkctl RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  install(FILES contrib/bash-completion/siptrunkctl DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

# Service files name the installed program: @SBINDIR@ becomes its directory.
set(SBINDIR "${CMAKE_INSTALL_FULL_SBINDIR}")
set(SIPTRUNK_SERVICE_DIR "${CMAKE_BINARY_DIR}/service")
foreach(daemon siptrunk-agent siptrunk-ua)
  if(NOT TARGET ${daemon})
    continue()
  endif()
  configure_file(contrib/systemd/${daemon}.service ${SIPTRUNK_SERVICE_DIR}/systemd/${daemon}.service @ONLY)
  configure_file(contrib/sysvinit/${daemon} ${SIPTRUNK_SERVICE_DIR}/sysvinit/${daemon} @ONLY)
  install(FILES ${SIPTRUNK_SERVICE_DIR}/systemd/${daemon}.service DESTINATION ${SIPTRUNK_SYSTEMD_UNIT_DIR})
  install(PROGRAMS ${SIPTRUNK_SERVICE_DIR}/sysvinit/${daemon} DESTINATION ${SIPTRUNK_INITD_DIR})
endforeach()
install(FILES contrib/sysusers/siptrunk.conf DESTINATION ${SIPTRUNK_SYSUSERS_DIR})
if(EXISTS ${CMAKE_SOURCE_DIR}/contrib/nftables/siptrunk.nft)
  install(FILES contrib/nftables/siptrunk.nft DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

# Man pages: docs/man/NAME.SECTION.scd becomes NAME.SECTION at build time.
# A page of a program (section 1 or 8) is installed with that program only.
if(NOT SIPTRUNK_MAN STREQUAL "OFF")
  find_program(SCDOC scdoc)
  if(NOT SCDOC AND SIPTRUNK_MAN STREQUAL "ON")
    message(FATAL_ERROR "SIPTRUNK_MAN=ON but scdoc is missing (Debian package scdoc)")
  elseif(NOT SCDOC)
    message(STATUS "scdoc not found: no man pages (SIPTRUNK_MAN=AUTO)")
  else()
    file(GLOB MAN_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/*.scd)
    set(MAN_PAGES)
    foreach(source ${MAN_SOURCES})
      get_filename_component(page ${source} NAME_WLE)        # siptrunk-agent.8
      string(REGEX MATCH "[^.]+$" section ${page})           # 8
      string(REGEX REPLACE "\\.[^.]+$" "" program ${page})  # siptrunk-agent
      if(section MATCHES "^[18]$" AND NOT TARGET ${program})
        continue()
      endif()
      set(output ${CMAKE_BINARY_DIR}/man/${page})
      add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND sh -c "\"$0\" < \"$1\" > \"$2\" || { rm -f \"$2\"; exit 1; }" ${SCDOC} ${source} ${output}
        DEPENDS ${source}
        COMMENT "scdoc ${page}"
        VERBATIM)
      list(APPEND MAN_PAGES ${output})
      install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    endforeach()
    add_custom_target(man ALL DEPENDS ${MAN_PAGES})
  endif()
endif()
