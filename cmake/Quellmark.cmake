# quellmark_test(NAME SOURCES src... LIBS lib...)
# One GoogleTest executable per library (per folder inside analytics), registered with CTest. Its
# main (platform/foundation/test_main.cpp) gives each test a fresh home folder. CTest runs every
# test with XDG_DATA_HOME and TMPDIR pointing at empty folders under the build tree, and the last
# test, test_folders_empty_after, fails naming anything a test left there.
function(quellmark_test name)
  if(NOT QUELLMARK_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest quellmark_test_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES
                       ENVIRONMENT "XDG_DATA_HOME=${QUELLMARK_TEST_FOLDERS}/data"
                       ENVIRONMENT_MODIFICATION "TMPDIR=set:${QUELLMARK_TEST_FOLDERS}/tmp"
                       FIXTURES_REQUIRED quellmark_test_folders)
endfunction()

# quellmark_folder_files(SOURCES_VAR TESTS_VAR): every .cpp of the calling folder, split into the
# sources and the *_test.cpp files. A new file joins the build without an edit of any list.
function(quellmark_folder_files sources_var tests_var)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(tests)
    list(REMOVE_ITEM sources ${tests})
  endif()
  set(${sources_var} ${sources} PARENT_SCOPE)
  set(${tests_var} ${tests} PARENT_SCOPE)
endfunction()

# quellmark_library(NAME [PUBLIC lib...] [PRIVATE lib...] [TEST_LIBS lib...] [EXCLUDE file...])
# One static library NAME from the calling folder's sources (but the EXCLUDE files) and one test
# executable NAME_test from its tests. Every platform folder, the plugin core, every bridge and the
# runner's library is one of these.
function(quellmark_library name)
  cmake_parse_arguments(ARG "" "" "PUBLIC;PRIVATE;TEST_LIBS;EXCLUDE" ${ARGN})
  quellmark_folder_files(sources tests)
  foreach(f ${ARG_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${f})
  endforeach()
  add_library(${name} STATIC ${sources})
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
  if(tests)
    quellmark_test(${name}_test SOURCES ${tests} LIBS ${name} ${ARG_TEST_LIBS})
  endif()
endfunction()

# quellmark_analytics_folder(NAME [PUBLIC lib...])
# The calling analytics folder's sources join the one `analytics` library; its tests make the
# folder's own executable analytics_NAME_test. A folder compiles only its own files.
function(quellmark_analytics_folder name)
  cmake_parse_arguments(ARG "" "" "PUBLIC" ${ARGN})
  quellmark_folder_files(sources tests)
  target_sources(analytics PRIVATE ${sources})
  if(ARG_PUBLIC)
    target_link_libraries(analytics PUBLIC ${ARG_PUBLIC})
  endif()
  if(tests)
    quellmark_test(analytics_${name}_test SOURCES ${tests} LIBS analytics)
  endif()
endfunction()

# quellmark_programs_in_own_home()
# Every program of the calling folder (a benchmark, a fuzz target) runs in a temporary home of its
# own (platform/foundation/process_home.cpp). Called once its programs exist.
function(quellmark_programs_in_own_home)
  get_property(programs DIRECTORY PROPERTY BUILDSYSTEM_TARGETS)
  foreach(program ${programs})
    get_target_property(type ${program} TYPE)
    if(NOT type STREQUAL "EXECUTABLE")
      continue()
    endif()
    target_sources(${program} PRIVATE ${PROJECT_SOURCE_DIR}/platform/foundation/process_home.cpp)
    target_link_libraries(${program} PRIVATE platform_foundation)
  endforeach()
endfunction()
