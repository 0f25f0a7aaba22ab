# mime_speed: 10,000 generated message files read through CMailStore
# (SetMessage, GetBody, attachment names) over a fake store handing out the
# MIME library's messages, against mime_speed_gmime, which parses the same
# files with GMime alone and extracts the same; prints both rates and the
# ratio.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MIME_SPEED_GMIME REQUIRED IMPORTED_TARGET gmime-3.0)
add_executable(mime_speed_gmime ${CMAKE_CURRENT_LIST_DIR}/mime_speed_gmime.cc)
target_link_libraries(mime_speed_gmime PRIVATE PkgConfig::MIME_SPEED_GMIME vorn_platform)
add_executable(mime_speed ${CMAKE_CURRENT_LIST_DIR}/mime_speed.cc)
target_link_libraries(mime_speed PRIVATE vorn_mailstore vorn_fakes vorn_test_support)
add_dependencies(mime_speed vornmime.so mime_speed_gmime)
