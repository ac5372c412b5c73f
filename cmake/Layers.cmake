# The layer table (cmake/layers.txt) is the one list of who may use whom;
# scripts/lib/check-layers.py holds the sources to it. Here the build makes
# sure no library of the program escapes it: a new one needs its row first.
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/layers.txt" veilcast_layer_rows REGEX "^[0-9a-z]+[ \t]")
set(VEILCAST_LAYERED_TARGETS "")
foreach(row IN LISTS veilcast_layer_rows)
  string(REGEX REPLACE "^[^ \t]+[ \t]+([^ \t]+).*" "\\1" target "${row}")
  list(APPEND VEILCAST_LAYERED_TARGETS "${target}")
endforeach()

function(veilcast_targets_below dir out)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    if(NOT sub MATCHES "/(tests|bench)(/|$)")
      veilcast_targets_below("${sub}" more)
      list(APPEND targets ${more})
    endif()
  endforeach()
  set(${out} "${targets}" PARENT_SCOPE)
endfunction()

function(veilcast_check_layer_table)
  veilcast_targets_below("${PROJECT_SOURCE_DIR}" targets)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(target MATCHES "^veilcast" AND NOT target MATCHES "_resources_[0-9]+$"
       AND NOT type STREQUAL "UTILITY"
       AND NOT target IN_LIST VEILCAST_LAYERED_TARGETS)
      message(FATAL_ERROR "${target} has no row in cmake/layers.txt")
    endif()
  endforeach()
endfunction()
