# bench_store_crash: the store's crash rounds in full (200 kills by default).
add_executable(bench_store_crash ${CMAKE_CURRENT_LIST_DIR}/store_crash.cc)
target_link_libraries(bench_store_crash PRIVATE vorn_store_stress)
add_dependencies(bench_store_crash vornstore.so vornmime.so store_stress_worker)
