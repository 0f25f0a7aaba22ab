# The vCard reader and the rows built from what it reads. The reader's sources
# are compiled into the target itself so that libFuzzer sees their coverage.
vorn_fuzz_target(vcard_fuzz
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/vcard_fuzz.cc
          ${PROJECT_SOURCE_DIR}/services/addressbook/text_decoding.cc
          ${PROJECT_SOURCE_DIR}/services/addressbook/vcard.cc
          ${PROJECT_SOURCE_DIR}/services/addressbook/address_book.cc
          ${PROJECT_SOURCE_DIR}/runtime/text.cc
  LIBS vorn_platform
  CORPUS ${PROJECT_SOURCE_DIR}/tests/data/vcard)
