# PROJECT_SKIP: a list of folders (relative to the project root, e.g.
# "tests/modbus;sim/host") that are left out of the build, for working on one
# part of the tree while another is broken.
set(PROJECT_SKIP "" CACHE STRING "Folders to leave out of the build")

function(_add_if_wanted dir)
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/${dir})
  if(rel IN_LIST PROJECT_SKIP)
    message(STATUS "Skipping ${rel}")
    return()
  endif()
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endfunction()

# Adds each listed folder that has a CMakeLists.txt.
function(add_optional_subdirectories)
  foreach(dir ${ARGN})
    _add_if_wanted(${dir})
  endforeach()
endfunction()

# Adds every direct child folder of the current source folder that has a
# CMakeLists.txt, in alphabetical order.
function(add_all_subdirectories)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child})
      _add_if_wanted(${child})
    endif()
  endforeach()
endfunction()
