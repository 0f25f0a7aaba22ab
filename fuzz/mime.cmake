# mime_fuzz: loads a message into the MIME library and reads it the way the
# body reader and the store server do. The library's sources are compiled
# into the target so that the fuzzer sees their coverage; the seeds are the
# golden messages. Its copy of the library keeps small limits (a few levels,
# parts and header bytes), so that short inputs reach what lies past them.
if(VORN_FUZZ)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(MIME_FUZZ_GMIME REQUIRED IMPORTED_TARGET gmime-3.0)
endif()
vorn_fuzz_target(mime_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/mime_fuzz.cc ${VORNMIME_CORE_SOURCES}
  LIBS vorn_platform vornrt PkgConfig::MIME_FUZZ_GMIME
  CORPUS ${PROJECT_SOURCE_DIR}/tests/data/mime)
if(TARGET mime_fuzz)
  target_compile_definitions(mime_fuzz PRIVATE VORN_MIME_SMALL_LIMITS)
endif()
