# The registry file's reader, fed arbitrary bytes; the golden files seed it.
vorn_fuzz_target(registry_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/registry_fuzz.cc ${PROJECT_SOURCE_DIR}/runtime/registry_file.cc
          ${PROJECT_SOURCE_DIR}/runtime/text.cc
  LIBS vorn_platform
  CORPUS ${PROJECT_SOURCE_DIR}/tests/data/registry)
