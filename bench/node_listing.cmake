# bench_node_listing: listing a folder of 100,000 messages from Node.js
# through the vorn addon, against the same listing through IDispatch from
# C++ (the listing process of bench_store_load, built beside it), in one run.
if(NOT TARGET vorn_node)
  return()
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/node_listing.sh.in ${VORN_BIN_DIR}/bench_node_listing
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
               GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
