# bench_imap_scale: the IMAP store server against a Dovecot of its own: the
# listing of a large Maildir-filled mailbox (first, unchanged, and against
# vornstore.so, with peak memory) and vornimport's rate into the account.
add_executable(bench_imap_scale ${CMAKE_CURRENT_LIST_DIR}/imap_scale.cc)
target_link_libraries(bench_imap_scale PRIVATE vorn_mailstore vorn_store_stress vorn_dovecot
                                               vornimap_core)
add_dependencies(bench_imap_scale vornimap.so vornstore.so vornmime.so vornimport)
