# Consent state and IAB TCF consent, added to the analytics library by this folder's
# CMakeLists.txt; their tests join the folder's test executable.
target_sources(analytics PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/consent_settings_util.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tcf_client.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tcf_data.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tcf_data_generator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tcf_registration.cpp
)

set(ANALYTICS_CONFIG_CONSENT_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/consent_settings_util_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tcf_client_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tcf_data_test.cpp
)
