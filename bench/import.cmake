# bench_import: the import rate of vornimport's importer for a generated mbox
# file (10,000 messages unless given), through vornstore.so and vornmime.so,
# with the shares of reading, digesting, parsing and storing.
add_executable(bench_import ${CMAKE_CURRENT_LIST_DIR}/import_bench.cc)
target_link_libraries(bench_import PRIVATE vorn_import vorn_import_sample vorn_test_support)
add_dependencies(bench_import vornstore.so vornmime.so)
