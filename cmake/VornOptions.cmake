# Compiler settings shared by every target.

add_compile_options(-Wall -Wextra)
if(VORN_WERROR)
  add_compile_options(-Werror)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wno-missing-field-initializers)
endif()

if(VORN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(VORN_TSAN)
  if(VORN_SANITIZE OR VORN_FUZZ)
    message(FATAL_ERROR "VORN_TSAN excludes VORN_SANITIZE and VORN_FUZZ")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(VORN_FUZZ AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "VORN_FUZZ needs clang (libFuzzer)")
endif()

# Shared libraries resolve every symbol at link time. (Sanitizer runtimes are
# linked into programs only, so libraries leave those symbols to the program.)
if(NOT VORN_SANITIZE AND NOT VORN_TSAN)
  add_link_options(LINKER:--no-undefined)
endif()

# vorn_module(NAME SOURCES...): a loadable component library named NAME
# exactly (no "lib" prefix, no added suffix), exporting only what its sources
# mark with VORN_EXPORT.
function(vorn_module name)
  add_library(${name} MODULE ${ARGN})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX "" OUTPUT_NAME ${name})
endfunction()

# vorn_fuzz_target(NAME SOURCES... LIBS libs... CORPUS dir): a libFuzzer
# program, run briefly over its corpus as a test.
function(vorn_fuzz_target name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(NOT VORN_FUZZ)
    return()
  endif()
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -E env VORN_ROOT=${CMAKE_CURRENT_BINARY_DIR}/${name}-root
                   $<TARGET_FILE:${name}> -max_total_time=${VORN_FUZZ_SECONDS}
                   -timeout=10 -rss_limit_mb=2048 ${work} ${F_CORPUS})
  set_tests_properties(${name} PROPERTIES LABELS fuzz)
  file(MAKE_DIRECTORY ${work})
endfunction()
set(VORN_FUZZ_SECONDS 5 CACHE STRING "How long CTest runs each fuzz target")
