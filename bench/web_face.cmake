# bench_web_face: drawing the control for a page (raw RGBA and PNG) and a
# mouse message with its event read back, against a plain call.
add_executable(bench_web_face ${CMAKE_CURRENT_LIST_DIR}/web_face.cc)
target_link_libraries(bench_web_face PRIVATE vorn_web)
add_dependencies(bench_web_face VORNOUTLOOKEXPRESS.OCX vornstore.so vornmime.so vornwab.so)
