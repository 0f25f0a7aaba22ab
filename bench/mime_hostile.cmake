# mime_hostile: hostile messages at full size (80,000 nested multiparts,
# 200,000 parts, a 50 MB header line, 50 MB of header fields, a million colons
# in From, bad base64 and quoted-printable, bogus charsets) through
# vornmime.so, each in a child process; prints time and peak memory per case.
# CTest runs it with every size divided by 100: nothing may crash or hang.
add_executable(mime_hostile ${CMAKE_CURRENT_LIST_DIR}/mime_hostile.cc)
target_link_libraries(mime_hostile PRIVATE vorn_platform vornrt)
add_dependencies(mime_hostile vornmime.so)
add_test(NAME mime_hostile_small COMMAND mime_hostile --scale 100)
