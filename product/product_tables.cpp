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

// Checks the names a walk of the list would see: those before its first null.
constexpr bool AllNamesHaveLength(const char *const *list, unsigned count, bool (*fits)(unsigned))
{
    for (unsigned i = 0; i < count && list[i] != nullptr; ++i) {
        if (!fits(ByteLength(list[i])))
            return false;
    }
    return true;
}

constexpr bool NotEmpty(unsigned length)
{
    return length > 0;
}

constexpr bool WithinFileNameLimit(unsigned length)
{
    return length <= FileNameLimit;
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
static_assert(AllNamesHaveLength(MainFilesAsWritten, MainFilesCount, NotEmpty),
              "PRODUCT_MAIN_FILES holds an empty file name");
static_assert(AllNamesHaveLength(MainFilesAsWritten, MainFilesCount, WithinFileNameLimit),
              "PRODUCT_MAIN_FILES holds a file name longer than 127 bytes");
static_assert(AllNamesHaveLength(ExtraFilesAsWritten, ExtraFilesCount, NotEmpty),
              "PRODUCT_EXTRA_FILES holds an empty file name");
static_assert(AllNamesHaveLength(ExtraFilesAsWritten, ExtraFilesCount, WithinFileNameLimit),
              "PRODUCT_EXTRA_FILES holds a file name longer than 127 bytes");

} // namespace

const ProductConfig Product = {
    PRODUCT_HOST_WINDOW_CLASS_NAME, PRODUCT_TITLE, PRODUCT_FOLDER_NAME, PRODUCT_EXECUTABLE_NAME,
    PRODUCT_INSTALL_RECORD_KEY,
};

const char *MainFiles[] = PRODUCT_MAIN_FILES;
const char *const ExtraFiles[] = PRODUCT_EXTRA_FILES;
