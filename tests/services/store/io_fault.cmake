# The store under failing I/O calls and power cuts, on a fault-injecting
# SQLite VFS that the test process installs as its default.
add_library(vorn_store_faults STATIC
  ${CMAKE_CURRENT_LIST_DIR}/fault_vfs.cc
  ${CMAKE_CURRENT_LIST_DIR}/io_fault_sweep.cc)
target_link_libraries(vorn_store_faults PUBLIC vorn_store_stress SQLite::SQLite3)

vorn_test(store_io_fault_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/io_fault_test.cc
  LIBS vorn_store_faults
  DEPENDS vornstore.so vornmime.so)
