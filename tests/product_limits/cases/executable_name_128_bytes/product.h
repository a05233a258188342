// The good product with one change: an executable name of 128 CP932 bytes.
#pragma once

#include "../good/product.h"

#undef PRODUCT_EXECUTABLE_NAME
#define PRODUCT_EXECUTABLE_NAME                                                                                                                  \
    "記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶記憶" \
    "記憶記憶記憶記憶記憶記憶記憶_0001.exe"
