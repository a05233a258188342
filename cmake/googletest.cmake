# GoogleTest from Debian's sources, once per tree: the tests and the driver library of the
# demo and the benchmark both need it.
include_guard(GLOBAL)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
# Built in every fresh tree of the test command: its speed does not matter, its build time does.
target_compile_options(gtest PRIVATE -O1)
target_compile_options(gtest_main PRIVATE -O1)
include(GoogleTest)
