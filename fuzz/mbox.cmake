# mbox_fuzz: the importer's mbox reader and the other readers of names and
# dates it applies to outside input. The readers' sources are compiled into
# the target so that libFuzzer sees their coverage; the sample mail seeds it.
vorn_fuzz_target(mbox_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/mbox_fuzz.cc
          ${PROJECT_SOURCE_DIR}/hosts/common/maildir_name.cc
          ${PROJECT_SOURCE_DIR}/hosts/import/maildir.cc
          ${PROJECT_SOURCE_DIR}/hosts/import/mbox_reader.cc
          ${PROJECT_SOURCE_DIR}/hosts/import/sources.cc
  LIBS vorn_platform vornrt
  CORPUS ${PROJECT_SOURCE_DIR}/examples/mail)
