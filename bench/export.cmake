# bench_export: the export rate of vornexport's exporter in each format for a
# store of generated messages (10,000 unless given), against the import rate
# of the same messages measured in the same run.
add_executable(bench_export ${CMAKE_CURRENT_LIST_DIR}/export_bench.cc)
target_link_libraries(bench_export PRIVATE vorn_export vorn_import vorn_import_sample
                      vorn_test_support)
add_dependencies(bench_export vornstore.so vornmime.so)
