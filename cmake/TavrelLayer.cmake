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

# One test program per layer: tests/<layer>/*_test.cpp. A Windows build has no emulated host,
# so it leaves out the sources that set one up (through tests/support or a fixture built on
# it) and runs the rest with the Windows-only suites (tests/windows/) under Wine.
set(TAVREL_HOST_BOUND_TEST
    "#include \"(support/temp_host\\.h|support/process\\.h|[a-z_]*_fixture\\.h|[a-z_]*_support\\.h|platform/posix/)")
function(tavrel_layer_tests layer)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${layer}/*_test.cpp)
  if(WIN32)
    foreach(source IN LISTS test_sources)
      file(STRINGS ${source} host_includes REGEX "${TAVREL_HOST_BOUND_TEST}")
      if(host_includes)
        list(REMOVE_ITEM test_sources ${source})
      endif()
    endforeach()
  endif()
  if(NOT test_sources)
    return()
  endif()
  set(target ${layer}_tests)
  add_executable(${target} ${test_sources})
  target_link_libraries(${target} PRIVATE ${ARG_DEPS} tavrel_testsupport GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    # The Windows test programs run under Wine from tests/wine/run.sh, not from ctest, beside
    # the programs they start.
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
    return()
  endif()
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "TAVREL_BIN_DIR=${PROJECT_BINARY_DIR}/bin")
endfunction()
