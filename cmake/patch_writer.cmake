# The packer's patch writer (tools/patch_writer.cpp) with lzma-dev's encoder, as C, for the
# tests' patches (PatchBytes in tests/engine/test_support): libdivsufsort is not built for
# Windows, so theirs are made block by block, without a suffix array.
include_guard(GLOBAL)
add_library(test_patch_writer STATIC "${CMAKE_SOURCE_DIR}/tools/patch_writer.cpp"
    "${LZMA_SOURCE_DIR}/LzmaEnc.c" "${LZMA_SOURCE_DIR}/LzFind.c")
target_compile_definitions(test_patch_writer PRIVATE _7ZIP_ST)
target_include_directories(test_patch_writer PRIVATE "${LZMA_SOURCE_DIR}")
target_compile_options(test_patch_writer PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Werror -O1>
    $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Werror -O2>)
set_source_files_properties("${LZMA_SOURCE_DIR}/LzmaEnc.c" PROPERTIES
    COMPILE_OPTIONS -Wno-unused-but-set-variable)
