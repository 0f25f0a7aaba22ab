# bench_fill_inbox: a root's Inbox filled with the listing benchmarks'
# generated messages. bench_web_listing [N]: the mail page opening and
# scrolling a folder of N messages (100,000 by default) in headless Chromium
# (tests/web/browser/listing.bench.js; the browser tests run it small).
add_executable(bench_fill_inbox ${CMAKE_CURRENT_LIST_DIR}/fill_inbox.cc)
target_link_libraries(bench_fill_inbox PRIVATE vorn_store_stress vornrt)
add_dependencies(bench_fill_inbox vornstore.so vornmime.so)
if(DEFINED VORN_BROWSER_TEST_ENV)
  list(JOIN VORN_BROWSER_TEST_ENV "' '" web_listing_env)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/web_listing.sh.in ${VORN_BIN_DIR}/bench_web_listing
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
