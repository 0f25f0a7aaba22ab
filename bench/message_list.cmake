# bench_message_list: SetFolder and reading every subject by index over a
# folder of 10,000 and 100,000 messages in the fake store.
add_executable(bench_message_list ${CMAKE_CURRENT_LIST_DIR}/message_list.cc)
target_link_libraries(bench_message_list PRIVATE vorn_mailstore vorn_fakes vorn_test_support)
