# quellmark_test(NAME SOURCES src... LIBS lib...)
# One GoogleTest executable per library (per folder inside analytics), registered with CTest.
# Each test runs with a fresh QUELLMARK_HOME made by the test itself.
function(quellmark_test name)
  if(NOT QUELLMARK_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES ENVIRONMENT "QUELLMARK_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
