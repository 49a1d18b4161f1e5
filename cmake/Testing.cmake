# add_project_gtest(target): registers every case of a GoogleTest executable with CTest.
# Under Wine a crash ends the whole executable and mingw's gtest cannot catch it, so each case runs in
# its own process (cases are listed when the tests run) and Wine's crash reports fail the case.
# Each case is labelled with its deliverable's directory (ctest -L loader).
function(add_project_gtest target)
  cmake_parse_arguments(arg "" "" "PROPERTIES" ${ARGN})
  file(RELATIVE_PATH where ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(REGEX REPLACE "/.*" "" label "${where}")
  if(WIN32)
    gtest_discover_tests(${target}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 120
      PROPERTIES
        FAIL_REGULAR_EXPRESSION "Unhandled exception|Unhandled page fault|unimplemented function"
        TIMEOUT 120
        LABELS "${label}"
        ${arg_PROPERTIES})
  else()
    gtest_discover_tests(${target}
      DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT 300 LABELS "${label}" ${arg_PROPERTIES})
  endif()
endfunction()
