# GoogleTest for a cross build: Debian ships no target build of it, only its
# sources (package googletest, /usr/src/googletest). Build them for the target
# inside this build tree and offer the same imported-target names the host
# build gets from find_package(GTest).
set(SIPTRUNK_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${SIPTRUNK_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${SIPTRUNK_GTEST_SOURCE_DIR} (Debian package googletest)")
endif()

# Build GoogleTest with its own warning flags, not with our -Werror set.
get_directory_property(_siptrunk_saved_options COMPILE_OPTIONS)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${SIPTRUNK_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${_siptrunk_saved_options}")

foreach(_lib gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${_lib})
    add_library(GTest::${_lib} ALIAS ${_lib})
  endif()
endforeach()

# Listing the tests of a target binary means running it under the emulator;
# do that when CTest runs rather than after every link, so a build never
# depends on the emulator.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

