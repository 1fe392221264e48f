# One library per layer: every .cpp directly in src/<layer>/ belongs to it, and it links only
# the layers below it. A layer without sources yet is an interface library so that the layers
# above can already name it.
function(tavrel_layer name)
  cmake_parse_arguments(ARG "" "" "DEPS;SOURCES" ${ARGN})
  file(GLOB layer_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${name}/*.cpp)
  list(APPEND layer_sources ${ARG_SOURCES})
  set(target tavrel_${name})
  if(layer_sources)
    add_library(${target} STATIC ${layer_sources})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# One test program per layer: tests/<layer>/*_test.cpp.
function(tavrel_layer_tests layer)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${layer}/*_test.cpp)
  if(NOT test_sources)
    return()
  endif()
  set(target ${layer}_tests)
  add_executable(${target} ${test_sources})
  target_link_libraries(${target} PRIVATE ${ARG_DEPS} tavrel_testsupport GTest::gtest_main)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "TAVREL_BIN_DIR=${PROJECT_BINARY_DIR}/bin")
endfunction()
