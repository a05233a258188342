# The driver library: runs the real updater and works its windows as a user would. The
# end-to-end scenarios, the demo and the benchmark all drive the updater through it.
include_guard(GLOBAL)
include("${CMAKE_SOURCE_DIR}/cmake/patch_writer.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/googletest.cmake")
add_library(updater_driver STATIC
    "${CMAKE_SOURCE_DIR}/tests/e2e/driver_support.cpp"
    "${CMAKE_SOURCE_DIR}/tests/engine/test_support.cpp")
target_compile_options(updater_driver PRIVATE
    -Wall -Wextra -Werror -finput-charset=UTF-8 -fexec-charset=CP932 -O1)
target_include_directories(updater_driver PUBLIC "${CMAKE_SOURCE_DIR}/tests/e2e")
target_link_libraries(updater_driver PUBLIC updater_app test_patch_writer GTest::gtest)
