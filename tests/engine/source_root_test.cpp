// Where the update pass looks for the new files: the folder of the running exe, or nowhere.
#include "../../engine/setup_engine.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>

// The exe's own path, however long: the call is not cut at 260 here.
static std::wstring OwnPath()
{
    wchar_t wide[2048];
    DWORD length = GetModuleFileNameW(nullptr, wide, 2048);
    return std::wstring(wide, length);
}

TEST(SourceRoot, IsTheExeFolderOrNothingWhenItsPathDoesNotFit)
{
    std::wstring own = OwnPath();
    bool expectLong = getenv("UPDATER_TEST_LONG_TOOL_PATH") != nullptr;
    SetupEngine engine;
    if (own.size() >= PathFieldCapacity) {
        // A cut-off path names another folder: the pass must not take files from there.
        EXPECT_FALSE(engine.LocateSourceRoot()) << own.size() << " characters";
        return;
    }
    ASSERT_FALSE(expectLong) << "the exe was meant to lie deeper than 259 characters: "
                             << TestPath(own);
    ASSERT_TRUE(engine.LocateSourceRoot());
    EXPECT_EQ(std::wstring(engine.sourceFolder), own.substr(0, own.rfind(L'\\')));
}
