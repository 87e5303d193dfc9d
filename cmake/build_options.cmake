# The options of this toolchain from build_options.txt; setup.py reads the same file
# through build_options.py.

if(MSVC)
  set(QOX_TOOLCHAIN msvc)
elseif(APPLE)
  set(QOX_TOOLCHAIN apple)
elseif(MINGW)
  set(QOX_TOOLCHAIN mingw)
elseif(CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang)$")
  set(QOX_TOOLCHAIN gnu)
else()
  message(FATAL_ERROR "build_options.txt has no options for ${CMAKE_CXX_COMPILER_ID} on ${CMAKE_SYSTEM_NAME}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/build_options.txt)

# Sets out_var to the toolchain's arguments of the steps named after it, in file order.
function(qox_build_options out_var)
  file(STRINGS ${PROJECT_SOURCE_DIR}/build_options.txt lines REGEX "^${QOX_TOOLCHAIN} ")
  set(options)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[^ ]+ +([^ ]+) +(.+)$" AND CMAKE_MATCH_1 IN_LIST ARGN)
      string(STRIP "${CMAKE_MATCH_2}" option)
      string(REPLACE "@ROOT@" "${PROJECT_SOURCE_DIR}" option "${option}")
      list(APPEND options "${option}")
    endif()
  endforeach()
  set(${out_var} ${options} PARENT_SCOPE)
endfunction()

# A release build's optimisation, for every target; the standard step is CMAKE_CXX_STANDARD's.
qox_build_options(qox_release_options release)
list(JOIN qox_release_options " " CMAKE_CXX_FLAGS_RELEASE)
qox_build_options(QOX_COMPILE_OPTIONS compile)
qox_build_options(QOX_LINK_OPTIONS link)
qox_build_options(QOX_RUNTIME_OPTIONS runtime)
