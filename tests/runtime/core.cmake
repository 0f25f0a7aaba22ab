# The runtime's core: GUID text, code pages, time, the loader, the root folder
# and in-process activation.
vorn_module(vorn_test_plain.so test_plain_module.cc)
target_link_libraries(vorn_test_plain.so PRIVATE vorn_platform)

vorn_test(runtime_core_test
  SOURCES guid_text_test.cc codepage_test.cc systime_test.cc loader_test.cc
          root_path_test.cc com_activation_test.cc failure_reason_test.cc
  LIBS vornrt
  DEPENDS vorn_test_plain.so)
