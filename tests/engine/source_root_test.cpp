// Where the update pass looks for the new files: the folder of the running exe, or nowhere.
#include "../../engine/setup_engine.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>

// The exe's own path in CP932 bytes, however long: the wide call is not cut at 260.
static std::string OwnPathBytes()
{
    wchar_t wide[2048];
    DWORD length = GetModuleFileNameW(nullptr, wide, 2048);
    char bytes[4096];
    int size = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(length), bytes, sizeof bytes,
                                   nullptr, nullptr);
    return std::string(bytes, size > 0 ? size : 0);
}

TEST(SourceRoot, IsTheExeFolderOrNothingWhenItsPathDoesNotFit)
{
    std::string own = OwnPathBytes();
    bool expectLong = getenv("UPDATER_TEST_LONG_TOOL_PATH") != nullptr;
    SetupEngine engine;
    if (own.size() >= PathFieldCapacity) {
        // A cut-off path names another folder: the pass must not take files from there.
        EXPECT_FALSE(engine.LocateSourceRoot()) << own.size() << " bytes";
        return;
    }
    ASSERT_FALSE(expectLong) << "the exe was meant to lie deeper than 259 bytes: " << own;
    ASSERT_TRUE(engine.LocateSourceRoot());
    EXPECT_EQ(std::string(engine.sourceFolder), own.substr(0, own.rfind('\\')));
}
