# Type libraries: the serialised form, ITypeLib/ITypeInfo, loading from files
# and library resources, registry entries.
vorn_module(typelib_test_module.so ${CMAKE_CURRENT_LIST_DIR}/typelib_test_module.cc)
target_link_libraries(typelib_test_module.so PRIVATE vornrt)
vorn_test(typelib_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/typelib_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/sample_typelib.cc
  LIBS vornrt
  DEPENDS typelib_test_module.so)
target_sources(typelib_test_module.so PRIVATE ${CMAKE_CURRENT_LIST_DIR}/sample_typelib.cc)
