# bench_python_listing: a folder of N messages listed from Python through the
# module `vorn` and from C++ through IDispatch, in one run.
if(TARGET vorn_python AND TARGET VORNOUTLOOKEXPRESS.OCX)
  add_executable(bench_python_listing ${CMAKE_CURRENT_LIST_DIR}/python_listing.cc)
  target_link_libraries(bench_python_listing PRIVATE vorn_store_stress vornrt)
  target_compile_definitions(bench_python_listing PRIVATE
    VORN_PYTHON="${VORN_PYTHON}"
    VORN_PYTHON_MODULE_DIR="$<TARGET_FILE_DIR:vorn_python>")
  add_dependencies(bench_python_listing
    vorn_python VORNOUTLOOKEXPRESS.OCX vornstore.so vornmime.so)
endif()
