// A product within every limit, near the edges: a title of 19 Japanese characters is
// 38 CP932 bytes (57 in UTF-8), a main-list name of exactly 127 CP932 bytes.
#pragma once

#define PRODUCT_HOST_WINDOW_CLASS_NAME "限界確認ホスト"
#define PRODUCT_TITLE "星降る丘の小さな図書館と七つの約束たち"
#define PRODUCT_FOLDER_NAME "Limits"
#define PRODUCT_EXECUTABLE_NAME "Limits.exe"
#define PRODUCT_INSTALL_RECORD_KEY "SOFTWARE\\Tester\\Limits"
#define PRODUCT_MAIN_FILES                                                                                                                   \
    {                                                                                                                                        \
        "ExecuteProgram",                                                                                                                    \
            "記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶" \
            "記憶記憶記憶記憶記憶記憶記憶記憶記憶_01.pac",                                                                                   \
            "data.pac", nullptr                                                                                                              \
    }
#define PRODUCT_EXTRA_FILES                                                                        \
    {                                                                                              \
        "data_2.pac", nullptr                                                                      \
    }
