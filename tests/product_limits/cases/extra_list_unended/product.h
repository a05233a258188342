// The good product with one change: the extra list without its end.
#pragma once

#include "../good/product.h"

#undef PRODUCT_EXTRA_FILES
#define PRODUCT_EXTRA_FILES                                                                        \
    {                                                                                              \
        "data_2.pac"                                                                               \
    }
