// Quillarin by Morvek: every name and list the updater of this product needs.
// Included by the C++ tables and by the resource script, so it holds macros only.
#pragma once

#define PRODUCT_HOST_WINDOW_CLASS_NAME "Quillarin　セットアップ"
#define PRODUCT_TITLE "Quillarin"
#define PRODUCT_FOLDER_NAME "Quillarin"
#define PRODUCT_EXECUTABLE_NAME "Quillarin.exe"
#define PRODUCT_INSTALL_RECORD_KEY "SOFTWARE\\Morvek\\Quillarin"

// The first entry is a placeholder that start-up points at the executable name.
#define PRODUCT_MAIN_FILES                                                                         \
    {                                                                                              \
        "ExecuteProgram", "grd.pac", "vic.pac", "se.pac", "sse.pac", "mus.pac", "srp.pac",         \
            "ogg.dll", "vorbis.dll", "vorbisfile.dll", "readme.txt", "uninst.exe", "Agrd.pac",     \
            "Bgrd.pac", "Cgrd.pac", "Dgrd.pac", "Egrd.pac", "Fgrd.pac", "Ggrd.pac", "Hgrd.pac",    \
            "Setting.exe", "grd_2.pac", "vic_2.pac", "se_2.pac", "sse_2.pac", "mus_2.pac",         \
            "srp_2.pac", "debuglog.txt", "movie/egg_eyecatch01.mpg", "movie/egg_eyecatch02.mpg",   \
            "movie/eyecatch01.mpg", "movie/eyecatch02.mpg", nullptr                                \
    }

#define PRODUCT_EXTRA_FILES                                                                        \
    {                                                                                              \
        "grd_2.pac", "vic_2.pac", "se_2.pac", "sse_2.pac", "mus_2.pac", "srp_2.pac", "srp_3.pac",  \
            "srp_4.pac", "srp_5.pac", "srp_6.pac", nullptr                                         \
    }

// Module resources.
#define PRODUCT_VERSION_NUMBERS 1, 0, 1, 1
#define PRODUCT_VERSION_TEXT "1.0.1.1"
#define PRODUCT_ICON_FILE "quillarin.ico"
#define PRODUCT_COMPANY_NAME "Morvek"
#define PRODUCT_FILE_DESCRIPTION "Quillarin Update"
#define PRODUCT_PRODUCT_NAME "Quillarin Update"
#define PRODUCT_INTERNAL_NAME "QuillarinUpdate"
#define PRODUCT_ORIGINAL_FILENAME "QuillarinUpdate.exe"
#define PRODUCT_COPYRIGHT "Copyright (C) Morvek"
