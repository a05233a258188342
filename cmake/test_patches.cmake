include_guard(GLOBAL)
add_library(test_patches STATIC "${CMAKE_SOURCE_DIR}/tools/patch_writer.cpp"
    /usr/include/lzma/LzmaEnc.c /usr/include/lzma/LzFind.c)
target_include_directories(test_patches PRIVATE /usr/include/lzma)
target_compile_definitions(test_patches PRIVATE _7ZIP_ST)
target_compile_options(test_patches PRIVATE -O2 $<$<COMPILE_LANGUAGE:C>:-w>)
