# siptrunk_include_root(NAME FOLDER...): makes ${CMAKE_BINARY_DIR}/include-roots/NAME,
# a directory of links to the named source folders only, and sets
# SIPTRUNK_ROOT_<NAME> to it. A target whose include path is that directory
# can write #include "platform/logger.h" but cannot reach a folder that is not
# linked there.
function(siptrunk_include_root name)
  set(root ${CMAKE_BINARY_DIR}/include-roots/${name})
  file(MAKE_DIRECTORY ${root})
  foreach(folder IN LISTS ARGN)
    if(NOT EXISTS ${root}/${folder})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
    endif()
  endforeach()
  set(SIPTRUNK_ROOT_${name} ${root} PARENT_SCOPE)
endfunction()
