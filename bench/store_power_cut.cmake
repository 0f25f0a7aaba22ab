# bench_store_power_cut: the store's power-cut sweep in full (200 cuts per
# operation by default).
add_executable(bench_store_power_cut ${CMAKE_CURRENT_LIST_DIR}/store_power_cut.cc)
target_link_libraries(bench_store_power_cut PRIVATE vorn_store_faults)
add_dependencies(bench_store_power_cut vornstore.so vornmime.so)
