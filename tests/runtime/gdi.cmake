# Device contexts: the recording and the RGBA/PNG back ends.
find_package(PNG REQUIRED)
vorn_test(gdi_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/gdi_test.cc LIBS vornrt PNG::PNG)
