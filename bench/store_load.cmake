# bench_store_load: import rate, listing time against plain SQLite, memory of
# the list and the listing through IDispatch, on a generated store.
add_executable(bench_store_load ${CMAKE_CURRENT_LIST_DIR}/store_load.cc)
target_link_libraries(bench_store_load PRIVATE vorn_mailstore vorn_store_stress)
add_dependencies(bench_store_load vornstore.so vornmime.so)
add_dependencies(bench_store_load VORNOUTLOOKEXPRESS.OCX)
