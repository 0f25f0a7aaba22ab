# The type-library loader over arbitrary bytes.
vorn_fuzz_target(typelib_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/typelib_fuzz.cc
  LIBS vornrt vorn_platform
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/typelib)
