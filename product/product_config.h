// The compiled-in tables that make the generic updater the updater of one product.
// Which product is built is chosen at configure time; nothing is read at run time.
#pragma once

enum : unsigned {
    ProductTitleLimit = 56, // the dialog caption "%s Updata" must fit 64 bytes
    FileNameLimit = 127,    // the engine's list entries hold 128 bytes
};

struct ProductConfig {
    const char *hostWindowClassName; // class of the host window; key of the single-instance guard
    const char *productTitle;        // host window title, dialog caption and prompt
    const char *productFolderName;   // folder beside the updater that holds the new files
    const char *productExecutableName;
    const char *installRecordKey; // subkey of HKEY_LOCAL_MACHINE
};

extern const ProductConfig Product;

// Null-terminated. Start-up replaces the first pointer of MainFiles, nothing else writes them.
extern const char *MainFiles[];
extern const char *const ExtraFiles[];
