# The store server under crashes, concurrent processes, a full disk and a
# read-only store. The tests run store_stress_worker as separate processes
# that reach the built libraries through the registry of the test's root.
find_package(SQLite3 REQUIRED)

add_library(vorn_store_stress STATIC ${CMAKE_CURRENT_LIST_DIR}/stress_support.cc)
target_link_libraries(vorn_store_stress PUBLIC vorn_platform vornrt vorn_test_support SQLite::SQLite3)

add_executable(store_stress_worker ${CMAKE_CURRENT_LIST_DIR}/stress_worker.cc)
target_link_libraries(store_stress_worker PRIVATE vorn_store_stress)

# The ThreadSanitizer build takes only the concurrent processes: the others
# run one process at a time, and the crash rounds kill workers after at most
# 150 ms, which an instrumented worker spends starting up.
set(store_stress_sources ${CMAKE_CURRENT_LIST_DIR}/concurrency_test.cc)
if(NOT VORN_TSAN)
  list(APPEND store_stress_sources
       ${CMAKE_CURRENT_LIST_DIR}/crash_test.cc
       ${CMAKE_CURRENT_LIST_DIR}/failure_test.cc
       ${CMAKE_CURRENT_LIST_DIR}/listing_test.cc)
endif()
vorn_test(store_stress_test
  SOURCES ${store_stress_sources}
  LIBS vorn_store_stress
  DEPENDS vornstore.so vornmime.so store_stress_worker)
