# The server settings (ZIVRemoteConfig) and their table, added to the analytics library by this
# folder's CMakeLists.txt; their tests join the folder's test executable.
target_sources(analytics PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/remote_config.cpp
  ${CMAKE_CURRENT_LIST_DIR}/remote_config_event_editing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/remote_config_table.cpp
)

set(ANALYTICS_CONFIG_REMOTE_CONFIG_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/remote_config_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/remote_config_table_test.cpp
)
