// The good product with one change: an empty name in the extra list.
#pragma once

#include "../good/product.h"

#undef PRODUCT_EXTRA_FILES
#define PRODUCT_EXTRA_FILES                                                                        \
    {                                                                                              \
        "data_2.pac", "", nullptr                                                                  \
    }
