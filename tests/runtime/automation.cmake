# Strings, values and result texts of automation.
vorn_test(automation_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bstr_test.cc ${CMAKE_CURRENT_LIST_DIR}/variant_test.cc
  LIBS vornrt)
