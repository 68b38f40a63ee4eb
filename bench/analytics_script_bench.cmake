# The scripting runtime on a counting loop, recursive fib(20) and a call loop, each sent as a
# wire-encoded program, next to Duktape and Lua 5.4 running the same programs in the same run when
# their development packages are installed (duktape-dev, liblua5.4-dev; scripts/bench.sh installs
# them). Without them the comparison is skipped.
if(TARGET analytics)
  add_executable(analytics_script_bench ${CMAKE_CURRENT_LIST_DIR}/analytics_script_bench.cpp)
  target_link_libraries(analytics_script_bench PRIVATE analytics benchmark::benchmark)
  find_path(QUELLMARK_DUKTAPE_INCLUDE duktape.h)
  find_library(QUELLMARK_DUKTAPE_LIBRARY duktape)
  if(QUELLMARK_DUKTAPE_INCLUDE AND QUELLMARK_DUKTAPE_LIBRARY)
    target_include_directories(analytics_script_bench PRIVATE ${QUELLMARK_DUKTAPE_INCLUDE})
    target_link_libraries(analytics_script_bench PRIVATE ${QUELLMARK_DUKTAPE_LIBRARY})
    target_compile_definitions(analytics_script_bench PRIVATE QUELLMARK_HAVE_DUKTAPE=1)
  endif()
  find_path(QUELLMARK_LUA54_INCLUDE lua.h PATH_SUFFIXES lua5.4 NO_DEFAULT_PATH
            PATHS /usr/include /usr/local/include)
  find_library(QUELLMARK_LUA54_LIBRARY NAMES lua5.4)
  if(QUELLMARK_LUA54_INCLUDE AND QUELLMARK_LUA54_LIBRARY)
    target_include_directories(analytics_script_bench PRIVATE ${QUELLMARK_LUA54_INCLUDE})
    target_link_libraries(analytics_script_bench PRIVATE ${QUELLMARK_LUA54_LIBRARY})
    target_compile_definitions(analytics_script_bench PRIVATE QUELLMARK_HAVE_LUA54=1)
  endif()
endif()
