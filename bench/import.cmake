# bench_import: the import rate of vornimport's importer for a generated mbox
# file (10,000 messages unless given), through vornstore.so and vornmime.so,
# with the shares of reading, digesting, parsing and storing.
add_executable(bench_import ${CMAKE_CURRENT_LIST_DIR}/import_bench.cc)
target_link_libraries(bench_import PRIVATE vorn_import vorn_import_sample vorn_test_support)
foreach(module vornstore.so vornmime.so vornmime)
  if(TARGET ${module})
    add_dependencies(bench_import ${module})
  endif()
endforeach()
