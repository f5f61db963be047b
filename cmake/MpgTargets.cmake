# mpg_library(NAME DIR... DEPS ...): a static library of every .cpp in the given folders (relative
# to the current source folder). Sources are globbed so that a new file needs no CMake edit.
function(mpg_library name)
  cmake_parse_arguments(ARG "" "" "DIRS;DEPS" ${ARGN})
  set(sources "")
  foreach(dir ${ARG_DIRS})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# mpg_test(NAME DIR DEPS ...): one GoogleTest program of every .cpp in DIR, each test registered
# with CTest on its own. Its main function is the project's (tests/support/test_main.cpp), which
# fails a skipped test under MPG_FAIL_ON_SKIP=1 unless the skip is marked as allowed.
function(mpg_test name)
  cmake_parse_arguments(ARG "" "DIR" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest mpg_test_main GTest::gmock)
  # The build folder reaches the tests through the environment (one variable: the discovered
  # tests' properties cannot carry a list); the source folder is compiled in.
  target_compile_definitions(${name} PRIVATE MPG_SOURCE_DIR_DEFAULT="${CMAKE_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "MPG_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()
