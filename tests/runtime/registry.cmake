# The registry, its file, and activation through it.
vorn_module(vorn_test_server.so test_server_module.cc)
target_link_libraries(vorn_test_server.so PRIVATE vorn_platform)

vorn_test(runtime_registry_test
  SOURCES registry_test.cc registry_file_test.cc registry_process_test.cc
          inproc_server_test.cc server_kit_test.cc
          # The file format's reader and writer are internal to the runtime;
          # their own tests build them in.
          ${PROJECT_SOURCE_DIR}/runtime/registry_file.cc
  LIBS vornrt vorn_fault_io
  DEPENDS vorn_test_server.so vorn_test_plain.so)
