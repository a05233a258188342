// The good product with one change: a name of 128 CP932 bytes.
#pragma once

#include "../good/product.h"

#undef PRODUCT_MAIN_FILES
#define PRODUCT_MAIN_FILES                                                                                                                   \
    {                                                                                                                                        \
        "ExecuteProgram", "data.pac",                                                                                                        \
            "記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶" \
            "記憶記憶記憶記憶記憶記憶記憶記憶記憶_001.pac",                                                                                  \
            nullptr                                                                                                                          \
    }
