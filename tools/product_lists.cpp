// product_lists: the names of one product's tables as the updater walks them, one a line: a
// kind ("folder", "main", "extra"), a tab and the CP932 bytes in hex. scripts/package builds
// it on the host from product/product_tables.cpp and the product's header, so the packer
// checks against the tables themselves, with their build-time limits, and not against a
// second reading of the header.
#include "product_config.h"

#include <stdio.h>

static void PrintName(const char *kind, const char *name)
{
    printf("%s\t", kind);
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(name); *c != '\0'; ++c)
        printf("%02x", *c);
    printf("\n");
}

static void PrintList(const char *kind, const char *const *list)
{
    for (; *list != nullptr; ++list)
        PrintName(kind, *list);
}

int main()
{
    // As start-up does before the engine copies the list: the placeholder is never copied.
    MainFiles[0] = Product.productExecutableName;
    PrintName("folder", Product.productFolderName);
    PrintList("main", MainFiles);
    PrintList("extra", ExtraFiles);
    return ferror(stdout) ? 1 : 0;
}
