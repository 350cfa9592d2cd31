# Shared settings for every zarn target.
function(zarn_target_settings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # g++ 12 reports impossible overlaps inside inlined std::string copies at -O3 (GCC bug 105329).
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND ZARN_SANITIZE)
    # Sanitizer instrumentation makes g++'s flow analysis report moved-from std::variant storage as
    # possibly uninitialised; the unsanitised builds keep the warning.
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
  if(ZARN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# One test executable per library, every TEST registered with ctest.
function(zarn_add_tests name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest GTest::gtest_main)
  zarn_target_settings(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
endfunction()
