// The good product with one change: the main list without its end.
#pragma once

#include "../good/product.h"

#undef PRODUCT_MAIN_FILES
#define PRODUCT_MAIN_FILES                                                                         \
    {                                                                                              \
        "ExecuteProgram", "data.pac"                                                               \
    }
