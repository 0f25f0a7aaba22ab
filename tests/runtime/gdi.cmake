# Device contexts: the RGBA/PNG back end, and the recording DC of the tests.
find_package(PNG REQUIRED)
vorn_test(gdi_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/gdi_test.cc LIBS vornrt vorn_recording_dc PNG::PNG)
