# contacts_bench: the time to list 10,000 contacts through vornwab.so, from
# WABOpen to the freed rows.
add_executable(contacts_bench ${CMAKE_CURRENT_SOURCE_DIR}/contacts_bench.cc)
target_link_libraries(contacts_bench PRIVATE vornrt)
add_dependencies(contacts_bench vornwab.so)
