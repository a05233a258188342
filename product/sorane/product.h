// Sorane by Kirihane: a second product, so that nothing outside product/ can quietly
// depend on Quillarin. Included by the C++ tables and by the resource script: macros only.
#pragma once

#define PRODUCT_HOST_WINDOW_CLASS_NAME "ソラネ更新ホスト"
#define PRODUCT_TITLE "ソラネ　星の記憶"
#define PRODUCT_FOLDER_NAME "Sorane"
#define PRODUCT_EXECUTABLE_NAME "Sorane.exe"
#define PRODUCT_INSTALL_RECORD_KEY "SOFTWARE\\Kirihane\\Sorane"

// The first entry is a placeholder that start-up points at the executable name.
#define PRODUCT_MAIN_FILES                                                                         \
    {                                                                                              \
        "ExecuteProgram", "data.pac", "voice.pac", "bgm.pac", "readme.txt", nullptr                \
    }

#define PRODUCT_EXTRA_FILES                                                                        \
    {                                                                                              \
        "data_2.pac", "voice.pac", nullptr                                                         \
    }

// Module resources.
#define PRODUCT_VERSION_NUMBERS 1, 2, 0, 0
#define PRODUCT_VERSION_TEXT "1.2.0.0"
#define PRODUCT_ICON_FILE "sorane.ico"
#define PRODUCT_COMPANY_NAME "Kirihane"
#define PRODUCT_FILE_DESCRIPTION "Sorane Update"
#define PRODUCT_PRODUCT_NAME "Sorane Update"
#define PRODUCT_INTERNAL_NAME "SoraneUpdate"
#define PRODUCT_ORIGINAL_FILENAME "SoraneUpdate.exe"
#define PRODUCT_COPYRIGHT "Copyright (C) Kirihane"
