# bench_host_calls: the script host's cost per late-bound call, and a listing
# of a generated folder through the script host, through IDispatch from C++
# and with plain SQLite, with their ratios.
add_executable(bench_host_calls ${CMAKE_CURRENT_LIST_DIR}/host_calls.cc)
target_link_libraries(bench_host_calls PRIVATE vorn_script vorn_store_stress vorn_test_support)
add_dependencies(bench_host_calls vornstore.so vornmime.so vornwab.so)
if(TARGET VORNOUTLOOKEXPRESS.OCX)
  add_dependencies(bench_host_calls VORNOUTLOOKEXPRESS.OCX)
endif()
