// The good product with one change: an empty name in the main list.
#pragma once

#include "../good/product.h"

#undef PRODUCT_MAIN_FILES
#define PRODUCT_MAIN_FILES                                                                         \
    {                                                                                              \
        "ExecuteProgram", "", "data.pac", nullptr                                                  \
    }
