# vorn_npm_ci(LABEL SOURCE_DIR DEST_DIR CHECK_FILE): installs the npm packages
# that SOURCE_DIR/package-lock.json pins into DEST_DIR/node_modules with
# `npm ci`, at configure time, and only when CHECK_FILE (relative to
# DEST_DIR/node_modules) is missing or the lock file changed since the last
# install. Configuration stops when npm fails.
function(vorn_npm_ci label source_dir dest_dir check_file)
  find_program(NPM_EXECUTABLE npm REQUIRED)
  configure_file(${source_dir}/package.json ${dest_dir}/package.json COPYONLY)
  configure_file(${source_dir}/package-lock.json ${dest_dir}/package-lock.json COPYONLY)
  file(SHA256 ${source_dir}/package-lock.json lock_hash)
  set(stamp ${dest_dir}/node_modules/.vorn-lock-sha256)
  set(installed_hash "")
  if(EXISTS ${stamp})
    file(READ ${stamp} installed_hash)
  endif()
  set(check ${dest_dir}/node_modules/${check_file})
  if(NOT installed_hash STREQUAL lock_hash OR NOT EXISTS ${check})
    message(STATUS "${label}: npm ci in ${dest_dir}")
    execute_process(
      COMMAND ${NPM_EXECUTABLE} ci --prefer-offline --ignore-scripts --no-audit --no-fund
      WORKING_DIRECTORY ${dest_dir}
      RESULT_VARIABLE npm_result)
    if(NOT npm_result EQUAL 0 OR NOT EXISTS ${check})
      message(FATAL_ERROR "${label}: npm ci failed in ${dest_dir}")
    endif()
    file(WRITE ${stamp} ${lock_hash})
  endif()
endfunction()
