# bench_imap_append: APPEND one at a time against the pipelined run of a batch
# import, on a Dovecot of its own.
add_executable(bench_imap_append ${CMAKE_CURRENT_LIST_DIR}/imap_append_bench.cc)
target_link_libraries(bench_imap_append PRIVATE vornimap_core vorn_dovecot)
