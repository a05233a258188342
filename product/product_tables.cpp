#include "product_config.h"

#include "product.h"

namespace {

constexpr unsigned ByteLength(const char *text)
{
    unsigned length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

constexpr bool EndsWithNull(const char *const *list, unsigned count)
{
    return count > 0 && list[count - 1] == nullptr;
}

constexpr bool NamesFit(const char *const *list, unsigned count)
{
    for (unsigned i = 0; i + 1 < count; ++i) {
        if (list[i] == nullptr)
            return true; // walking stops here
        unsigned length = ByteLength(list[i]);
        if (length == 0 || length > FileNameLimit)
            return false;
    }
    return true;
}

// Limits are counted in the bytes the program will hold, so the checks see CP932 lengths.
constexpr const char *MainFilesAsWritten[] = PRODUCT_MAIN_FILES;
constexpr const char *ExtraFilesAsWritten[] = PRODUCT_EXTRA_FILES;
constexpr unsigned MainFilesCount = sizeof MainFilesAsWritten / sizeof MainFilesAsWritten[0];
constexpr unsigned ExtraFilesCount = sizeof ExtraFilesAsWritten / sizeof ExtraFilesAsWritten[0];

static_assert(ByteLength(PRODUCT_TITLE) <= ProductTitleLimit,
              "PRODUCT_TITLE is longer than 56 bytes: the dialog caption would not fit");
static_assert(ByteLength(PRODUCT_TITLE) > 0, "PRODUCT_TITLE is empty");
static_assert(ByteLength(PRODUCT_HOST_WINDOW_CLASS_NAME) > 0,
              "PRODUCT_HOST_WINDOW_CLASS_NAME is empty");
static_assert(ByteLength(PRODUCT_FOLDER_NAME) > 0 && ByteLength(PRODUCT_FOLDER_NAME) < 260,
              "PRODUCT_FOLDER_NAME must be 1 to 259 bytes");
static_assert(ByteLength(PRODUCT_EXECUTABLE_NAME) > 0 &&
                  ByteLength(PRODUCT_EXECUTABLE_NAME) <= FileNameLimit,
              "PRODUCT_EXECUTABLE_NAME must be 1 to 127 bytes");
static_assert(ByteLength(PRODUCT_INSTALL_RECORD_KEY) > 0, "PRODUCT_INSTALL_RECORD_KEY is empty");
static_assert(EndsWithNull(MainFilesAsWritten, MainFilesCount),
              "PRODUCT_MAIN_FILES must end with nullptr");
static_assert(EndsWithNull(ExtraFilesAsWritten, ExtraFilesCount),
              "PRODUCT_EXTRA_FILES must end with nullptr");
static_assert(NamesFit(MainFilesAsWritten, MainFilesCount),
              "PRODUCT_MAIN_FILES holds a file name that is empty or longer than 127 bytes");
static_assert(NamesFit(ExtraFilesAsWritten, ExtraFilesCount),
              "PRODUCT_EXTRA_FILES holds a file name that is empty or longer than 127 bytes");

} // namespace

const ProductConfig Product = {
    PRODUCT_HOST_WINDOW_CLASS_NAME, PRODUCT_TITLE, PRODUCT_FOLDER_NAME, PRODUCT_EXECUTABLE_NAME,
    PRODUCT_INSTALL_RECORD_KEY,
};

const char *MainFiles[] = PRODUCT_MAIN_FILES;
const char *const ExtraFiles[] = PRODUCT_EXTRA_FILES;
