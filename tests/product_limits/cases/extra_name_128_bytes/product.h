// The good product with one change: a name of 128 CP932 bytes.
#pragma once

#include "../good/product.h"

#undef PRODUCT_EXTRA_FILES
#define PRODUCT_EXTRA_FILES                                                                                                                    \
    {                                                                                                                                          \
        "記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶" \
        "記憶記憶記憶記憶記憶記憶記憶記憶_001.pac",                                                                                            \
            nullptr                                                                                                                            \
    }
