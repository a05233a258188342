// e2e_driver UPDATER_EXE [--shots=FOLDER] [gtest options]: the scenarios against the given
// build of the updater. A filter that selects no scenario is a failure, so that a misspelt
// test registration cannot pass.
#include "driver_support.h"

#include <gtest/gtest.h>

#include <string.h>

// ctest hands over Unix paths; Wine's Z: drive is the Unix root.
static std::string WindowsPath(const char *path)
{
    std::string converted = path;
    if (!converted.empty() && converted[0] == '/')
        converted = "Z:" + converted;
    for (char &c : converted) {
        if (c == '/')
            c = '\\';
    }
    return converted;
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--shots=", 8) == 0)
            ShotsFolder = WindowsPath(argv[i] + 8);
        else if (UpdaterExe.empty())
            UpdaterExe = WindowsPath(argv[i]);
    }
    if (UpdaterExe.empty() || GetFileAttributesA(UpdaterExe.c_str()) == INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "usage: e2e_driver UPDATER_EXE [--shots=FOLDER]; no exe at \"%s\"\n",
                UpdaterExe.c_str());
        return 2;
    }
    int status = RUN_ALL_TESTS();
    if (testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
        fprintf(stderr, "no scenario matches the filter\n");
        return 1;
    }
    return status;
}
