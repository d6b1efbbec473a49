# Checks that each layer of the tree includes only from the layers below it: nothing in
# pictavo/ (the built-in capture library) resolves to a header of src/ (the service), nothing in
# src/ to one of pictavo/, and nothing in common/ to either. Run by CTest as
#   cmake -DSOURCE_DIR=<top of the tree> -P check_layers.cmake
# An include counts as reaching a folder when it names it ("src/...") or when the folder would
# supply the file as an include root (src/<name> exists).
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR must name the top of the tree")
endif()

set(violations "")
function(check_layer layer)
  set(forbidden ${ARGN})
  file(GLOB_RECURSE sources ${SOURCE_DIR}/${layer}/*.cpp ${SOURCE_DIR}/${layer}/*.h
    ${SOURCE_DIR}/${layer}/*.inc)
  foreach(source IN LISTS sources)
    file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*$" "\\1" included "${line}")
      foreach(other IN LISTS forbidden)
        if(included MATCHES "^(\\.\\./)*${other}/" OR EXISTS ${SOURCE_DIR}/${other}/${included})
          file(RELATIVE_PATH where ${SOURCE_DIR} ${source})
          string(APPEND violations "\n  ${where}: \"${included}\" is in ${other}/")
        endif()
      endforeach()
    endforeach()
  endforeach()
  set(violations "${violations}" PARENT_SCOPE)
endfunction()

check_layer(pictavo src)
check_layer(src pictavo)
check_layer(common src pictavo)

if(violations)
  message(FATAL_ERROR "Includes that cross the layers:${violations}")
endif()
message(STATUS "common/, src/ and pictavo/ include only what their layer may")
