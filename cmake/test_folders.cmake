# The folders every test runs with as XDG_DATA_HOME (FOLDERS/data) and TMPDIR (FOLDERS/tmp).
#   cmake -D MODE=prepare -D FOLDERS=dir -P test_folders.cmake   makes them, empty
#   cmake -D MODE=check -D FOLDERS=dir -P test_folders.cmake     fails naming what is left in them
if(MODE STREQUAL "prepare")
  file(REMOVE_RECURSE ${FOLDERS})
  file(MAKE_DIRECTORY ${FOLDERS}/data ${FOLDERS}/tmp)
elseif(MODE STREQUAL "check")
  file(GLOB_RECURSE left LIST_DIRECTORIES true RELATIVE ${FOLDERS} ${FOLDERS}/data/* ${FOLDERS}/tmp/*)
  if(left)
    list(SORT left)
    list(JOIN left "\n  " names)
    message(FATAL_ERROR "Tests left files in their data and temporary folders:\n  ${names}")
  endif()
  message(STATUS "Nothing left in ${FOLDERS}")
else()
  message(FATAL_ERROR "MODE must be prepare or check")
endif()
