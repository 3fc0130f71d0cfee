# Each component of the service is a static library `tirn_<name>` built from
# the folder src/<name>/: its public headers under include/<name>/ are its
# door, everything else in the folder is its own. What it may use it names
# in USES (its door shows them to its users too) or USES_PRIVATELY; other
# libraries go in LIBRARIES, with PUBLIC/PRIVATE as for target_link_libraries.
function(tirn_component name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;USES;USES_PRIVATELY;LIBRARIES")
  set(target tirn_${name})
  add_library(${target} STATIC ${arg_SOURCES})
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  list(TRANSFORM arg_USES PREPEND tirn_)
  list(TRANSFORM arg_USES_PRIVATELY PREPEND tirn_)
  target_link_libraries(${target} PUBLIC ${arg_USES} PRIVATE ${arg_USES_PRIVATELY})
  if(arg_LIBRARIES)
    target_link_libraries(${target} ${arg_LIBRARIES})
  endif()
  # What the door check compares the includes and the architecture's graph with.
  list(TRANSFORM arg_USES REPLACE "^tirn_" "")
  list(TRANSFORM arg_USES_PRIVATELY REPLACE "^tirn_" "")
  set_property(GLOBAL APPEND PROPERTY TIRN_COMPONENTS ${name})
  set_property(GLOBAL PROPERTY TIRN_USES_${name} ${arg_USES} ${arg_USES_PRIVATELY})
endfunction()

# A test that looks inside a component (its private headers), besides its door.
function(tirn_look_inside target name)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src/${name})
endfunction()

# Writes the declared graph for the door check, and adds the check itself to
# every build: an include of a component that is not declared, a path that
# climbs out of its folder, a cycle, or a graph that docs/architecture.md
# does not show fails the build.
function(tirn_check_doors)
  get_property(components GLOBAL PROPERTY TIRN_COMPONENTS)
  set(graph "")
  foreach(name IN LISTS components)
    get_property(uses GLOBAL PROPERTY TIRN_USES_${name})
    string(APPEND graph "${name}:${uses}\n")
  endforeach()
  set(graph_file ${PROJECT_BINARY_DIR}/component_graph.txt)
  file(WRITE ${graph_file} "${graph}")
  add_custom_target(component_doors ALL
    COMMAND ${CMAKE_COMMAND} -DGRAPH=${graph_file} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            -P ${PROJECT_SOURCE_DIR}/cmake/check_doors.cmake
    COMMENT "Checking the components' doors"
    VERBATIM)
endfunction()
