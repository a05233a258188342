// The update pass against real folders: the tool's folder with the product folder of new
// files beside it, and an installation holding every listed file with old times and
// protecting attributes. The pass reports to a recording view, which answers its questions.
#include "../../engine/pass_journal.h"
#include "../../engine/setup_engine.h"
#include "../../product/product_config.h"
#include "test_support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <stdlib.h>
#include <string.h>
#include <utility>

namespace {

using Names = std::vector<std::string>;

const DWORD Protecting = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

struct Before {
    std::string bytes;
    FileTimes times;
    DWORD attributes;
};

class UpdatePass : public testing::Test {
  protected:
    void SetUp() override
    {
        MakeFolder(tool);
        MakeFolder(install);
    }

    // The product's own lists, with the first entry as start-up leaves it.
    void UseProductLists()
    {
        std::vector<const char *> mainNames;
        for (const char *const *name = MainFiles; *name != nullptr; ++name)
            mainNames.push_back(*name);
        mainNames[0] = Product.productExecutableName;
        mainNames.push_back(nullptr);
        UseLists(mainNames.data(), ExtraFiles);
    }

    void UseLists(const char *const *mainNames, const char *const *extraNames)
    {
        for (const char *const *name = mainNames; *name != nullptr; ++name)
            mainListed.push_back(*name);
        for (const char *const *name = extraNames; *name != nullptr; ++name)
            extraListed.push_back(*name);
        CopyFileList(engine.mainFiles, mainNames);
        CopyFileList(engine.extraFiles, extraNames);
        CopyBounded(engine.folderName, sizeof engine.folderName, Product.productFolderName);
        SetPathField(engine.sourceFolder, tool);
        SetPathField(engine.installFolder, install);
    }

    bool IsMovie(const std::string &name) const { return name.compare(0, 6, "movie/") == 0; }

    // Nested folders from path (which must not exist) whose path has exactly this many
    // characters; the temporary folder's name is plain ASCII.
    std::string DeepFolder(std::string path, size_t length)
    {
        if (path.size() + 2 >= length) {
            ADD_FAILURE() << "the temporary folder is too deep already: " << path;
            return path;
        }
        MakeFolder(path);
        while (length - path.size() > 150) {
            path += "\\" + std::string(100, 'd');
            MakeFolder(path);
        }
        path += "\\" + std::string(length - path.size() - 1, 'e');
        MakeFolder(path);
        return path;
    }

    // Every listed name once, in list order.
    Names Listed() const
    {
        Names names;
        for (const Names *list : {&mainListed, &extraListed}) {
            for (const std::string &name : *list) {
                if (std::find(names.begin(), names.end(), name) == names.end())
                    names.push_back(name);
            }
        }
        return names;
    }

    // Old content and times, and each kind of protection in turn. Not read again before the
    // checks, since a read could move the access time.
    void Install(const std::string &name, DWORD attributes, const std::string *bytes = nullptr)
    {
        std::string path = install + "\\" + name;
        SetAttributes(path, FILE_ATTRIBUTE_NORMAL);
        Before &before = installed[name];
        before.bytes = bytes != nullptr ? *bytes
                                        : PatternBytes(500 + installed.size() * 37,
                                                       static_cast<unsigned>(name.size()));
        WriteFileBytes(path, before.bytes);
        SetTimes(path, TimesAt(2001));
        ASSERT_TRUE(SetAttributes(path, attributes)) << path;
        before.times = TimesOf(path);
        before.attributes = AttributesOf(path);
        ASSERT_EQ(before.attributes & Protecting, attributes & Protecting) << path;
    }

    void InstallEveryListedFile(bool withMovieFolder)
    {
        // Read-only alone: for a user without privileges the system keeps no other attribute
        // on a file it has made read-only.
        const DWORD kinds[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN,
                               FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
                               FILE_ATTRIBUTE_NORMAL};
        if (withMovieFolder && !FileExists(install + "\\movie"))
            MakeFolder(install + "\\movie");
        size_t index = 0;
        for (const std::string &name : Listed()) {
            if (IsMovie(name) && !withMovieFolder)
                continue;
            Install(name, kinds[index++ % 5]);
        }
        // Not the updater's: it must not even lose its attributes.
        Install("save.dat", FILE_ATTRIBUTE_HIDDEN);
    }

    void Carry(const std::string &name, size_t size)
    {
        if (!FileExists(update))
            MakeFolder(update);
        if (IsMovie(name) && !FileExists(update + "\\movie"))
            MakeFolder(update + "\\movie");
        std::string path = update + "\\" + name;
        carried[name] = PatternBytes(size, static_cast<unsigned>(200 + carried.size()));
        WriteFileBytes(path, carried[name]);
        SetTimes(path, TimesAt(2024));
    }

    std::string Content(const std::string &path)
    {
        std::string bytes;
        EXPECT_TRUE(ReadFileBytes(path, bytes)) << path;
        return bytes;
    }

    // Times are taken before any content is read.
    void ExpectUpdated(const std::string &name)
    {
        SCOPED_TRACE(name);
        std::string path = install + "\\" + name;
        FileTimes got = TimesOf(path);
        EXPECT_TRUE(SameTimes(got, TimesOf(update + "\\" + name)));
        // The creation time is not kept by every platform; the write time always is.
        FileTimes set = TimesAt(2024);
        EXPECT_EQ(CompareFileTime(&got.written, &set.written), 0);
        EXPECT_EQ(AttributesOf(path) & Protecting, 0u);
        EXPECT_TRUE(SameBytes(Content(path), carried[name]));
    }

    void ExpectKeptButOpened(const std::string &name)
    {
        SCOPED_TRACE(name);
        std::string path = install + "\\" + name;
        EXPECT_TRUE(SameTimes(TimesOf(path), installed[name].times));
        EXPECT_EQ(AttributesOf(path) & Protecting, 0u);
        EXPECT_TRUE(SameBytes(Content(path), installed[name].bytes));
    }

    void ExpectUntouched(const std::string &name)
    {
        SCOPED_TRACE(name);
        std::string path = install + "\\" + name;
        EXPECT_TRUE(SameTimes(TimesOf(path), installed[name].times));
        EXPECT_EQ(AttributesOf(path), installed[name].attributes);
        EXPECT_TRUE(SameBytes(Content(path), installed[name].bytes));
        installed[name].times = TimesOf(path); // the read moved the access time
    }

    // What lies in the installation: nothing created, no temporary file left.
    Names InstalledNames(const std::string &folder) const
    {
        Names names;
        for (const auto &entry : installed) {
            std::string name = entry.first;
            if (folder.empty() ? !IsMovie(name) : IsMovie(name))
                names.push_back(folder.empty() ? name : name.substr(6));
        }
        if (folder.empty() && FileExists(install + "\\movie"))
            names.push_back("movie");
        std::sort(names.begin(), names.end());
        return names;
    }

    void ExpectNothingElseInTheInstallation()
    {
        EXPECT_EQ(FolderNames(install), InstalledNames(""));
        EXPECT_EQ(FolderNames(install + "\\movie"), InstalledNames("movie"));
    }

    TemporaryFolder root;
    std::string tool = root / "tool";
    std::string update = tool + "\\" + Product.productFolderName;
    std::string install = root / "install";
    Names mainListed, extraListed;
    std::map<std::string, Before> installed;
    std::map<std::string, std::string> carried;
    SetupEngine engine;
    RecordingView recorder;

    bool Run(const std::string *manifest = nullptr)
    {
        return engine.UpdateInstallation(recorder.view, manifest ? manifest->data() : nullptr,
                                         manifest ? static_cast<DWORD>(manifest->size()) : 0);
    }

    // The pass refused with this one cause and said that nothing changed, which must be so.
    void ExpectRefused(PassStop stop, const std::string &name)
    {
        EXPECT_FALSE(recorder.completed);
        ASSERT_FALSE(recorder.stops.empty()) << "no stop told";
        const PassReport &told = recorder.stops.back();
        EXPECT_EQ(told.stop, stop);
        EXPECT_EQ(recorder.stopNames.back(), name);
        EXPECT_FALSE(told.question);
        EXPECT_TRUE(told.unchanged);
        ExpectNothingChanged();
    }

    void ExpectNothingChanged()
    {
        for (const auto &entry : installed)
            ExpectUntouched(entry.first);
        ExpectNothingElseInTheInstallation();
    }

    BoundEntry Bind(const std::string &name, int year)
    {
        return BoundEntry{name, carried[name], TimesAt(year).written};
    }

    // The new version of a file as a delta package carries it: a patch from each earlier
    // version given, in the update folder, and not the file itself.
    void CarryPatched(const std::string &name, const std::string &bytes,
                      const std::vector<std::string> &bases)
    {
        if (!FileExists(update))
            MakeFolder(update);
        if (IsMovie(name) && !FileExists(update + "\\movie"))
            MakeFolder(update + "\\movie");
        carried[name] = bytes;
        int number = 0;
        for (const std::string &base : bases) {
            std::string patch = PatchBytes(base, bytes);
            WriteFileBytes(update + "\\" + name + "." + std::to_string(++number) + ".qpatch",
                           patch);
            patches.push_back({name, base, patch});
        }
    }
    std::vector<BoundPatchEntry> patches;

    // Carried whole with the very bytes installed: the update finds it new already.
    void CarryAsInstalled(const std::string &name)
    {
        carried[name] = installed[name].bytes;
        WriteFileBytes(update + "\\" + name, carried[name]);
    }
};

// A version of a file that a publisher might ship next: a few bytes changed throughout and a
// stretch inserted in the middle.
std::string Edited(const std::string &bytes, unsigned seed)
{
    std::string edited = bytes;
    for (size_t at = seed % 97; at < edited.size(); at += 4093)
        edited[at] = static_cast<char>(edited[at] ^ 0x5A);
    edited.insert(edited.size() / 2, PatternBytes(300 + seed, seed));
    return edited;
}

// Which file a name leads to: a file put in by a rename is another one.
ULONGLONG FileIdOf(const std::string &path)
{
    HANDLE file = CreateFileW(TestPath(path).system(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION information = {};
    bool known = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &information);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    EXPECT_TRUE(known) << path;
    return (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
}

// Holders released at a moment of the pass.
struct Holders {
    std::vector<HeldOpen *> held;
    unsigned releaseAtPause;
};

void ReleaseAtPause(RecordingView &view, unsigned pause)
{
    Holders &holders = *static_cast<Holders *>(view.hookData);
    if (pause == holders.releaseAtPause) {
        for (HeldOpen *holder : holders.held)
            holder->Release();
    }
}

TEST_F(UpdatePass, OnlyGrdPacIsCopiedAndEveryOtherListedFileJustLosesItsProtection)
{
    UseProductLists();
    InstallEveryListedFile(true);
    installed.erase("debuglog.txt");
    RemoveFile(install + "\\debuglog.txt"); // listed, not installed: stays absent
    Carry("grd.pac", 5 * 65536 + 1234);

    EXPECT_TRUE(Run());

    EXPECT_TRUE(recorder.completed);
    EXPECT_TRUE(recorder.stops.empty());
    EXPECT_EQ(recorder.last.bytesDone, 5u * 65536 + 1234);
    EXPECT_EQ(recorder.last.files, 1u);
    ExpectUpdated("grd.pac");
    for (const std::string &name : Listed()) {
        if (name != "grd.pac" && installed.count(name))
            ExpectKeptButOpened(name);
    }
    ExpectUntouched("save.dat");
    ExpectNothingElseInTheInstallation();
}

TEST_F(UpdatePass, GrdTwoInBothListsEndsTheSameAsOnce)
{
    UseProductLists();
    InstallEveryListedFile(true);
    Carry("grd_2.pac", 70000);

    EXPECT_TRUE(Run());

    EXPECT_EQ(recorder.last.files, 1u) << "carried once";
    ExpectUpdated("grd_2.pac");
    for (const std::string &name : Listed()) {
        if (name != "grd_2.pac")
            ExpectKeptButOpened(name);
    }
    ExpectNothingElseInTheInstallation();
}

// Without its files the update is refused before anything, attributes included, changes;
// run from the folder Explorer extracts a lone exe to, the report says so.
TEST_F(UpdatePass, MissingOrEmptyUpdateFolderIsRefusedAndChangesNothing)
{
    UseProductLists();
    InstallEveryListedFile(true);

    EXPECT_FALSE(Run());
    ExpectRefused(StopUpdateMissing, Product.productFolderName);
    EXPECT_FALSE(recorder.stops.back().fromArchive);

    std::string extracted = root / "Temp1_quillarin-update.zip";
    MakeFolder(extracted);
    MakeFolder(extracted + "\\" + Product.productFolderName);
    SetPathField(engine.sourceFolder, extracted);
    EXPECT_FALSE(Run());
    ExpectRefused(StopUpdateMissing, Product.productFolderName);
    EXPECT_TRUE(recorder.stops.back().fromArchive);
}

// A folder is missing only when the system says nothing is there: a path it cannot take is
// told with its error, whether it is the installation's or the tool's.
TEST_F(UpdatePass, PathsTheSystemCannotTakeAreToldWithTheirError)
{
    UseProductLists();
    InstallEveryListedFile(true);
    Carry("grd.pac", 1000);
    SetPathField(engine.installFolder, root / "in|valid");
    EXPECT_FALSE(Run());
    ExpectRefused(StopOther, "");
    EXPECT_EQ(recorder.stops.back().error, static_cast<DWORD>(ERROR_INVALID_NAME));

    SetPathField(engine.installFolder, install);
    SetPathField(engine.sourceFolder, root / "to|ol");
    EXPECT_FALSE(Run());
    ExpectRefused(StopOther, "");
    EXPECT_EQ(recorder.stops.back().error, static_cast<DWORD>(ERROR_INVALID_NAME));
}

// A listed name that the system cannot take: named with its error, whether it stops the check
// of the update or that of the installation.
TEST_F(UpdatePass, ListedNamesTheSystemCannotTakeAreToldWithTheirError)
{
    const char *mainNames[] = {"grd.pac", "mo|vie/a.mpg", nullptr};
    const char *extraNames[] = {nullptr};
    UseLists(mainNames, extraNames);
    Install("grd.pac", FILE_ATTRIBUTE_HIDDEN);
    Carry("grd.pac", 1000);
    EXPECT_FALSE(Run());
    ExpectRefused(StopOther, "mo|vie/a.mpg");
    EXPECT_EQ(recorder.stops.back().error, static_cast<DWORD>(ERROR_INVALID_NAME));
}

// Every file before it would fit, but the installation lacks the folder of a late one: the
// pass stops before the first change.
TEST_F(UpdatePass, MovieWithoutAnInstalledMovieFolderChangesNothing)
{
    UseProductLists();
    InstallEveryListedFile(false);
    Carry("grd.pac", 2000);
    Carry("srp_2.pac", 3000);
    Carry("movie/eyecatch01.mpg", 70000);
    Carry("srp_3.pac", 4000);

    EXPECT_FALSE(Run());

    ExpectRefused(StopFolderMissing, "movie/eyecatch01.mpg");
    EXPECT_FALSE(FileExists(install + "\\movie"));
}

TEST_F(UpdatePass, ReadOnlyInstalledFileGetsTheNewContent)
{
    UseProductLists();
    InstallEveryListedFile(true);
    const char *protectedNames[] = {"grd.pac", "vic.pac", "srp_6.pac"};
    for (const char *name : protectedNames) {
        Install(name, FILE_ATTRIBUTE_READONLY);
        Carry(name, 70000);
    }
    // Run as an unprivileged user the system refuses to write a read-only file; make sure
    // it does, or this case would prove nothing. Wine still lets a rename replace such a
    // file, so what this case catches is a copy written into the installed file itself.
    if (getenv("UPDATER_TEST_READ_ONLY_REFUSED") != nullptr) {
        HANDLE file = CreateFileA((install + "\\grd.pac").c_str(), GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        ASSERT_EQ(file, INVALID_HANDLE_VALUE) << "read-only is not enforced here";
    }

    EXPECT_TRUE(Run());

    for (const char *name : protectedNames)
        ExpectUpdated(name);
    ExpectNothingElseInTheInstallation();
}

// An installation the user cannot write (Program Files without elevation, with file
// virtualization off): told as a lack of rights, before anything changed.
TEST_F(UpdatePass, ReadOnlyInstallFolderIsToldBeforeAnyChange)
{
    const char *protectedInstallation = getenv("UPDATER_TEST_PROTECTED_INSTALLATION");
    if (protectedInstallation == nullptr)
        GTEST_SKIP() << "run through tests/system/unprivileged-user";
    UseProductLists();
    Carry("grd.pac", 70000);
    Carry("vic.pac", 1000);
    SetPathField(engine.installFolder, protectedInstallation);

    EXPECT_FALSE(Run());

    ASSERT_EQ(recorder.stops.size(), 1u);
    EXPECT_EQ(recorder.stops[0].stop, StopAccessDenied);
    EXPECT_EQ(recorder.stopNames[0], "grd.pac");
    EXPECT_TRUE(recorder.stops[0].unchanged);
    EXPECT_EQ(recorder.pauses, 9u) << "waited out as a hold first";
    std::string installation = protectedInstallation;
    EXPECT_EQ(Content(installation + "\\grd.pac"), "old");
    EXPECT_EQ(FolderNames(installation), (Names{"grd.pac"}));
}

// A brief hold, as a virus scanner's, is waited out without a question; a long one is asked
// about before anything changed, as often as the user says Retry, and Cancel changes nothing.
TEST_F(UpdatePass, FileInUseIsWaitedForThenAskedAboutBeforeAnyChange)
{
    UseProductLists();
    InstallEveryListedFile(true);
    Carry("grd.pac", 2000);
    Carry("vic.pac", 3000);
    Carry("se.pac", 4000);
    {
        HeldOpen scanner(install + "\\vic.pac", GENERIC_READ, FILE_SHARE_READ);
        Holders holders{{&scanner}, 3};
        recorder.hookData = &holders;
        recorder.onPause = ReleaseAtPause;
        EXPECT_TRUE(Run());
        EXPECT_TRUE(recorder.stops.empty()) << "a brief hold was asked about";
        EXPECT_EQ(recorder.pauses, 3u);
    }
    for (const char *name : {"grd.pac", "vic.pac", "se.pac"})
        ExpectUpdated(name);

    InstallEveryListedFile(true);
    recorder.Reset();
    recorder.answers = {true, false}; // Retry while still held, then Cancel
    {
        HeldOpen game(install + "\\se.pac", GENERIC_READ, FILE_SHARE_READ);
        EXPECT_FALSE(Run());
    }
    ASSERT_EQ(recorder.stops.size(), 2u) << "after Cancel, nothing more to tell";
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(recorder.stops[i].stop, StopInUse);
        EXPECT_TRUE(recorder.stops[i].question);
        EXPECT_EQ(recorder.stopNames[i], "se.pac");
    }
    EXPECT_EQ(recorder.pauses, 18u) << "a Retry gets the same patience";
    EXPECT_EQ(recorder.last.bytesDone, 0u) << "something was copied before the question";
    ExpectNothingChanged();

    // The new file itself still being written by the program that brought it.
    recorder.Reset();
    {
        HeldOpen download(update + "\\vic.pac", GENERIC_WRITE, FILE_SHARE_READ);
        EXPECT_FALSE(Run());
    }
    ASSERT_EQ(recorder.stops.size(), 1u);
    EXPECT_EQ(recorder.stops[0].stop, StopInUse);
    EXPECT_EQ(recorder.stopNames[0], "vic.pac");
    ExpectNothingChanged();
}

// Held only once the files are staged: the files already replaced go back, with their
// attributes, when the user says Cancel.
TEST_F(UpdatePass, FileHeldAfterStagingIsCancelledAndEverythingGoesBack)
{
    UseProductLists();
    InstallEveryListedFile(true);
    Carry("grd.pac", 2000);
    Carry("vic.pac", 300000);
    Carry("se.pac", 4000);
    std::string se = install + "\\se.pac";
    static HeldOpen *late;
    late = nullptr;
    recorder.hookData = &se;
    recorder.onProgress = [](RecordingView &view, const PassProgress &progress) {
        if (late == nullptr && progress.name != nullptr && strcmp(progress.name, "se.pac") == 0)
            late = new HeldOpen(*static_cast<std::string *>(view.hookData), GENERIC_READ,
                                FILE_SHARE_READ);
    };

    EXPECT_FALSE(Run());
    ASSERT_NE(late, nullptr);
    delete late;

    ASSERT_EQ(recorder.stops.size(), 1u);
    EXPECT_EQ(recorder.stops[0].stop, StopInUse);
    EXPECT_EQ(recorder.stopNames[0], "se.pac");
    EXPECT_EQ(recorder.pauses, 9u);
    ExpectNothingChanged();
}

// A bound update installs exactly its list, with the list's write times, whatever lies
// beside it and whatever times the unpacking gave its files.
TEST_F(UpdatePass, BoundUpdateInstallsExactlyItsListWithItsTimes)
{
    UseProductLists();
    InstallEveryListedFile(true);
    Carry("grd.pac", 70000);
    Carry("movie/eyecatch01.mpg", 3);
    Carry("srp_6.pac", 65536);
    Carry("vic.pac", 5000); // listed and beside the exe, but not bound
    std::string manifest = BoundManifestBytes(
        {Bind("grd.pac", 2030), Bind("movie/eyecatch01.mpg", 2031), Bind("srp_6.pac", 2032)});

    EXPECT_TRUE(Run(&manifest));

    EXPECT_TRUE(recorder.completed);
    EXPECT_EQ(recorder.last.files, 3u);
    int year = 2030;
    for (const char *name : {"grd.pac", "movie/eyecatch01.mpg", "srp_6.pac"}) {
        SCOPED_TRACE(name);
        std::string path = install + "\\" + name;
        FileTimes set = TimesAt(year++);
        FileTimes got = TimesOf(path);
        EXPECT_EQ(CompareFileTime(&got.written, &set.written), 0);
        EXPECT_TRUE(SameBytes(Content(path), carried[name]));
    }
    ExpectKeptButOpened("vic.pac");
    ExpectNothingElseInTheInstallation();
}

// A file missing, cut short or altered, late in the order: nothing changes, earlier files
// included, and nothing of the pass is left behind.
TEST_F(UpdatePass, BoundUpdateWithAMissingOrDamagedFileChangesNothing)
{
    UseProductLists();
    InstallEveryListedFile(true);
    Carry("grd.pac", 70000);
    Carry("vic.pac", 2000);
    Carry("srp_6.pac", 200000);
    std::string manifest =
        BoundManifestBytes({Bind("grd.pac", 2030), Bind("vic.pac", 2030), Bind("srp_6.pac", 2030)});
    std::string late = update + "\\srp_6.pac";

    RemoveFile(late);
    EXPECT_FALSE(Run(&manifest));
    ExpectRefused(StopFileMissing, "srp_6.pac");

    WriteFileBytes(late, carried["srp_6.pac"].substr(0, 199999));
    EXPECT_FALSE(Run(&manifest));
    ExpectRefused(StopFileMissing, "srp_6.pac");

    std::string altered = carried["srp_6.pac"];
    altered[150000] ^= 1;
    WriteFileBytes(late, altered);
    EXPECT_FALSE(Run(&manifest));
    ExpectRefused(StopFileDamaged, "srp_6.pac");
}

// A bound list that cannot be read whole refuses the update: it never falls back to
// installing whatever the plain lists find.
TEST_F(UpdatePass, BoundListThatCannotBeReadWholeIsRefused)
{
    UseProductLists();
    InstallEveryListedFile(true);
    Carry("grd.pac", 1000);
    Carry("vic.pac", 1000);
    const std::string good = BoundManifestBytes({Bind("grd.pac", 2030), Bind("vic.pac", 2030)});
    std::vector<std::pair<const char *, std::string>> broken;
    broken.emplace_back("empty", "");
    broken.emplace_back("other magic", "QUPDMAN2" + good.substr(8));
    broken.emplace_back("one byte short", good.substr(0, good.size() - 1));
    broken.emplace_back("one byte more", good + '\0');
    std::string entrySize = good;
    entrySize[12] = static_cast<char>(175);
    broken.emplace_back("entry size", entrySize);
    broken.emplace_back("no entries", BoundManifestBytes({}));
    std::string unended = good;
    unended.replace(16, 128, std::string(128, 'a'));
    broken.emplace_back("name without its end", unended);
    std::string trailing = good;
    trailing[16 + 100] = 'x';
    broken.emplace_back("bytes after a name", trailing);
    broken.emplace_back("a name twice",
                        BoundManifestBytes({Bind("grd.pac", 2030), Bind("grd.pac", 2030)}));
    broken.emplace_back("an unlisted name",
                        BoundManifestBytes({Bind("grd.pac", 2030), {"..\\save.dat", "x", {}}}));
    // The list with patches: each must rebuild a file of the list, grouped by file, each from a
    // base of its own that is not already the new file.
    const BoundPatchEntry fromOld = {"grd.pac", "old", "patch"};
    const std::vector<BoundEntry> both = {Bind("grd.pac", 2030), Bind("vic.pac", 2030)};
    const std::string patched = BoundManifestBytes(both, {fromOld});
    ASSERT_EQ(patched.size(), 24u + 2 * 176 + 88);
    broken.emplace_back("patch entry size", patched.substr(0, 20) + '\x57' + patched.substr(21));
    std::string outside = patched;
    outside[24 + 2 * 176] = 2;
    broken.emplace_back("a patch of no file", outside);
    broken.emplace_back("two patches from one base",
                        BoundManifestBytes(both, {fromOld, {"grd.pac", "old", "other"}}));
    broken.emplace_back("a patch from the new file",
                        BoundManifestBytes(both, {{"grd.pac", carried["grd.pac"], "patch"}}));
    broken.emplace_back("patches not grouped",
                        BoundManifestBytes(both, {{"vic.pac", "a", "p"}, fromOld}));
    std::vector<BoundPatchEntry> many;
    for (int i = 0; i < 33; ++i)
        many.push_back({"grd.pac", "old" + std::to_string(i), "patch"});
    broken.emplace_back("33 patches for one file", BoundManifestBytes(both, many));
    broken.emplace_back("an empty patch", BoundManifestBytes(both, {{"grd.pac", "old", ""}}));
    for (const auto &manifest : broken) {
        SCOPED_TRACE(manifest.first);
        recorder.Reset();
        EXPECT_FALSE(Run(&manifest.second));
        ExpectRefused(StopManifestDamaged, "");
    }
}

// A delta update rebuilds each file from whichever earlier version is installed: a single base,
// one of two of the same size (told apart by their digests), one of two sizes; a file carried
// whole goes in over anything; a file already new is left as it is. A second run rewrites
// nothing.
TEST_F(UpdatePass, DeltaUpdateRebuildsFromTheInstalledVersionAndLeavesNewFilesAlone)
{
    UseProductLists();
    InstallEveryListedFile(true);
    std::string otherVic = installed["vic.pac"].bytes;
    otherVic[10] = static_cast<char>(otherVic[10] + 1);
    std::string olderSe = PatternBytes(90000, 7);
    CarryPatched("grd.pac", Edited(installed["grd.pac"].bytes, 1), {installed["grd.pac"].bytes});
    CarryPatched("vic.pac", Edited(otherVic, 2), {otherVic, installed["vic.pac"].bytes});
    CarryPatched("se.pac", Edited(olderSe, 3), {olderSe, installed["se.pac"].bytes});
    // Changed in place: of its base's size, which the new file has too.
    std::string sse = installed["sse.pac"].bytes;
    sse[sse.size() / 3] = static_cast<char>(sse[sse.size() / 3] ^ 0x11);
    CarryPatched("sse.pac", sse, {installed["sse.pac"].bytes});
    CarryPatched("movie/eyecatch01.mpg", PatternBytes(200000, 4),
                 {Edited(PatternBytes(200000, 4), 5)});
    Install("movie/eyecatch01.mpg", FILE_ATTRIBUTE_READONLY);
    WriteFileBytes(install + "\\movie\\eyecatch01.mpg", Edited(PatternBytes(200000, 4), 5));
    Carry("mus.pac", 3000);
    CarryAsInstalled("srp.pac");
    std::string manifest = BoundManifestBytes(
        {Bind("grd.pac", 2030), Bind("vic.pac", 2031), Bind("se.pac", 2032), Bind("sse.pac", 2036),
         Bind("mus.pac", 2033), Bind("srp.pac", 2034), Bind("movie/eyecatch01.mpg", 2035)},
        patches);
    const ULONGLONG srpId = FileIdOf(install + "\\srp.pac");
    const FileTimes srpTimes = TimesOf(install + "\\srp.pac");

    EXPECT_TRUE(Run(&manifest));

    EXPECT_TRUE(recorder.completed);
    EXPECT_TRUE(recorder.stops.empty());
    EXPECT_EQ(recorder.last.files, 7u);
    int year = 2030;
    for (const char *name : {"grd.pac", "vic.pac", "se.pac", "mus.pac"}) {
        SCOPED_TRACE(name);
        FileTimes set = TimesAt(year++);
        FileTimes got = TimesOf(install + "\\" + name);
        EXPECT_EQ(CompareFileTime(&got.written, &set.written), 0);
        EXPECT_TRUE(SameBytes(Content(install + "\\" + name), carried[name]));
    }
    // Read to be told from the others, so only its access time may have moved.
    EXPECT_EQ(FileIdOf(install + "\\srp.pac"), srpId) << "an installed new file was rewritten";
    const FileTimes srpNow = TimesOf(install + "\\srp.pac");
    EXPECT_EQ(CompareFileTime(&srpNow.written, &srpTimes.written), 0);
    EXPECT_TRUE(SameBytes(Content(install + "\\srp.pac"), carried["srp.pac"]));
    EXPECT_TRUE(
        SameBytes(Content(install + "\\movie\\eyecatch01.mpg"), carried["movie/eyecatch01.mpg"]));
    ExpectNothingElseInTheInstallation();

    EXPECT_TRUE(SameBytes(Content(install + "\\sse.pac"), carried["sse.pac"]));
    std::map<std::string, ULONGLONG> ids;
    for (const char *name :
         {"grd.pac", "vic.pac", "se.pac", "mus.pac", "movie/eyecatch01.mpg", "sse.pac"})
        ids[name] = FileIdOf(install + "\\" + name);
    recorder.Reset();
    EXPECT_TRUE(Run(&manifest));
    EXPECT_TRUE(recorder.completed);
    for (const auto &id : ids)
        EXPECT_EQ(FileIdOf(install + "\\" + id.first), id.second) << id.first << " rewritten";
    ExpectNothingElseInTheInstallation();
}

// An installed file that no patch starts from (altered, cut short, missing), a patch whose bytes
// are not the bound ones, or one missing from the update folder: the pass stops naming the
// file, and nothing changes, though the files before it were already rebuilt and staged. What
// sizes can tell is told before anything is staged.
TEST_F(UpdatePass, DeltaUpdateStopsBeforeAnyChangeOnAnotherVersionOrADamagedPatch)
{
    UseProductLists();
    InstallEveryListedFile(true);
    // Large enough that the patch takes its first bytes from the installed file.
    const std::string older = PatternBytes(70000, 9);
    Install("srp_6.pac", FILE_ATTRIBUTE_NORMAL, &older);
    CarryPatched("grd.pac", Edited(installed["grd.pac"].bytes, 1), {installed["grd.pac"].bytes});
    CarryPatched("srp_6.pac", Edited(installed["srp_6.pac"].bytes, 2),
                 {installed["srp_6.pac"].bytes});
    std::string manifest =
        BoundManifestBytes({Bind("grd.pac", 2030), Bind("srp_6.pac", 2030)}, patches);
    const std::string late = install + "\\srp_6.pac";
    const std::string patch = update + "\\srp_6.pac.1.qpatch";
    const Before kept = installed["srp_6.pac"];

    struct Case {
        const char *what;
        PassStop stop;
        bool staged; // the files before it were staged
    };
    for (const Case &variant :
         {Case{"altered", StopNotApplicable, true}, Case{"cut short", StopNotApplicable, false},
          Case{"missing", StopNotApplicable, false}, Case{"damaged patch", StopFileDamaged, true},
          Case{"missing patch", StopFileMissing, false}}) {
        SCOPED_TRACE(variant.what);
        std::string what = variant.what;
        SetAttributes(late, FILE_ATTRIBUTE_NORMAL);
        std::string bytes = kept.bytes;
        if (what == "altered")
            bytes[100] = static_cast<char>(bytes[100] ^ 1);
        else if (what == "cut short")
            bytes.pop_back();
        WriteFileBytes(late, bytes);
        SetTimes(late, kept.times);
        SetAttributes(late, kept.attributes);
        installed["srp_6.pac"] = {bytes, TimesOf(late), kept.attributes};
        if (what == "missing") {
            SetAttributes(late, FILE_ATTRIBUTE_NORMAL);
            RemoveFile(late);
            installed.erase("srp_6.pac");
        }
        std::string patchBytes = patches[1].patch;
        if (what == "damaged patch")
            patchBytes[patchBytes.size() / 2] =
                static_cast<char>(patchBytes[patchBytes.size() / 2] ^ 1);
        WriteFileBytes(patch, patchBytes);
        if (what == "missing patch")
            RemoveFile(patch);
        recorder.Reset();
        EXPECT_FALSE(Run(&manifest));
        // Read to be rebuilt from: their access times may move, nothing else.
        for (const char *read : {"grd.pac", "srp_6.pac"}) {
            if (installed.count(read) != 0)
                installed[read].times.accessed = TimesOf(install + "\\" + read).accessed;
        }
        ExpectRefused(variant.stop, "srp_6.pac");
        EXPECT_EQ(recorder.last.bytesDone != 0, variant.staged) << "staged or not before the stop";
    }
}

// As deep as the record reaches, from a tool folder as deep: past 259 characters go the
// source, staged and aside names, and at 259 every installed file. What an ended pass left
// there is cleared, the pass completes with the new times, and a file found held only when
// the others are in place is cancelled with none of the pass's files left behind.
TEST_F(UpdatePass, DeepInstallFoldersCompleteAndAFailureThereLeavesNothingBehind)
{
    tool = DeepFolder(root / "deep-tool", 240);
    update = tool + "\\" + Product.productFolderName;
    UseProductLists();
    Carry("grd.pac", 70000);
    Carry("movie/eyecatch01.mpg", 3000);
    ASSERT_GE((update + "\\movie\\eyecatch01.mpg").size(), size_t(MAX_PATH));
    struct LateHold {
        std::string path;
        HeldOpen *holder;
    } late = {};
    for (size_t length : {size_t(250), size_t(259)}) {
        SCOPED_TRACE(length);
        install = DeepFolder(root / ("deep" + std::to_string(length)), length);
        ASSERT_EQ(install.size(), length);
        SetPathField(engine.installFolder, install);
        installed.clear();
        InstallEveryListedFile(true);
        WriteFileBytes(install + "\\grd.pac.qupdate-new", "torn");
        WriteFileBytes(install + "\\movie\\eyecatch01.mpg.qupdate-old", "old");
        recorder.Reset();

        EXPECT_TRUE(Run());
        EXPECT_TRUE(recorder.completed);
        ExpectUpdated("grd.pac");
        ExpectUpdated("movie/eyecatch01.mpg");
        ExpectNothingElseInTheInstallation();

        InstallEveryListedFile(true);
        recorder.Reset();
        late = {install + "\\movie\\eyecatch01.mpg", nullptr};
        recorder.hookData = &late;
        recorder.onProgress = [](RecordingView &view, const PassProgress &progress) {
            LateHold &hold = *static_cast<LateHold *>(view.hookData);
            if (hold.holder == nullptr && progress.name != nullptr &&
                strcmp(progress.name, "movie/eyecatch01.mpg") == 0)
                hold.holder = new HeldOpen(hold.path, GENERIC_READ, FILE_SHARE_READ);
        };
        EXPECT_FALSE(Run());
        ASSERT_NE(late.holder, nullptr);
        delete late.holder;
        ASSERT_EQ(recorder.stops.size(), 1u);
        EXPECT_EQ(recorder.stops[0].stop, StopInUse);
        EXPECT_EQ(recorder.stopNames[0], "movie/eyecatch01.mpg");
        ExpectNothingChanged();
    }
}

// What a pass ended part-way left (its staged and its aside files) is cleared before the
// next pass changes anything; an installed file found only aside is put back.
TEST_F(UpdatePass, LeftoversOfAnEndedPassAreRemovedFirst)
{
    UseProductLists();
    InstallEveryListedFile(true);
    Carry("grd.pac", 70000);
    WriteFileBytes(install + "\\grd.pac.qupdate-new", "torn");
    WriteFileBytes(install + "\\vic.pac.qupdate-new", "torn");
    WriteFileBytes(install + "\\movie\\eyecatch01.mpg.qupdate-old", "old");
    std::string se = install + "\\se.pac";
    ASSERT_TRUE(MoveFileA(se.c_str(), (se + ".qupdate-old").c_str()));

    EXPECT_TRUE(Run());

    ExpectUpdated("grd.pac");
    EXPECT_TRUE(SameBytes(Content(se), installed["se.pac"].bytes));
    ExpectNothingElseInTheInstallation();
}

// A folder's files as a crash would leave them: names, bytes, write times and attributes.
struct SavedFile {
    std::string name;
    std::string bytes;
    FILETIME written;
    DWORD attributes;
};
using SavedTree = std::vector<SavedFile>;

void SaveTree(const std::string &folder, const std::string &prefix, SavedTree &tree)
{
    for (const std::string &name : FolderNames(folder)) {
        std::string path = folder + "\\" + name;
        DWORD attributes = AttributesOf(path);
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            SaveTree(path, prefix + name + "/", tree);
            continue;
        }
        SavedFile file{prefix + name, "", TimesOf(path).written, attributes};
        EXPECT_TRUE(ReadFileBytes(path, file.bytes)) << path;
        tree.push_back(file);
    }
}

SavedTree SaveTree(const std::string &folder)
{
    SavedTree tree;
    SaveTree(folder, "", tree);
    return tree;
}

bool operator==(const SavedFile &a, const SavedFile &b)
{
    return a.name == b.name && a.bytes == b.bytes && a.attributes == b.attributes &&
           CompareFileTime(&a.written, &b.written) == 0;
}

void RestoreTree(const std::string &folder, const SavedTree &tree)
{
    RemoveTree(folder);
    MakeFolder(folder);
    for (const SavedFile &file : tree) {
        std::string path = folder + "\\";
        for (char c : file.name)
            path += c == '/' ? '\\' : c;
        size_t separator = path.rfind('\\');
        if (!FileExists(path.substr(0, separator)))
            MakeFolder(path.substr(0, separator));
        WriteFileBytes(path, file.bytes);
        FileTimes times = TimesOf(path);
        times.written = file.written;
        SetTimes(path, times);
        SetAttributes(path, file.attributes);
    }
}

std::string Listing(const SavedTree &tree)
{
    std::string names;
    for (const SavedFile &file : tree)
        names += " " + file.name;
    return names;
}

bool Has(const SavedTree &tree, const std::string &name)
{
    for (const SavedFile &file : tree) {
        if (file.name == name)
            return true;
    }
    return false;
}

class PassEnded : public UpdatePass {
  protected:
    void SetUp() override
    {
        UpdatePass::SetUp();
        const char *mainNames[] = {"Quillarin.exe", "grd.pac", "movie/eyecatch01.mpg",
                                   "vic.pac",       "new.pac", nullptr};
        const char *extraNames[] = {"srp_6.pac", nullptr};
        UseLists(mainNames, extraNames);
        MakeFolder(install + "\\movie");
        Install("Quillarin.exe", FILE_ATTRIBUTE_READONLY);
        Install("grd.pac", FILE_ATTRIBUTE_HIDDEN);
        Install("movie/eyecatch01.mpg", FILE_ATTRIBUTE_NORMAL);
        Install("vic.pac", FILE_ATTRIBUTE_SYSTEM);
        Install("srp_6.pac", FILE_ATTRIBUTE_READONLY);
    }

    void ExpectEveryMomentPutRight(const std::string *manifest);
};

TEST_F(PassEnded, WhileFilesGoInIsPutBackOrCompletedByTheNext)
{
    for (const char *name :
         {"Quillarin.exe", "grd.pac", "movie/eyecatch01.mpg", "new.pac", "srp_6.pac"})
        Carry(name, 3000 + carried.size());
    ExpectEveryMomentPutRight(nullptr);
}

// The same for a delta update: what the interrupted pass put in is not rebuilt again, and a
// file it had set aside but not yet replaced is rebuilt from the kept one.
TEST_F(PassEnded, WhileRebuiltFilesGoInIsPutBackOrCompletedByTheNext)
{
    CarryPatched("grd.pac", Edited(installed["grd.pac"].bytes, 1), {installed["grd.pac"].bytes});
    CarryPatched("movie/eyecatch01.mpg", Edited(installed["movie/eyecatch01.mpg"].bytes, 2),
                 {PatternBytes(4000, 3), installed["movie/eyecatch01.mpg"].bytes});
    Carry("Quillarin.exe", 3000);
    Carry("new.pac", 3001);
    CarryAsInstalled("srp_6.pac");
    const std::string manifest = BoundManifestBytes(
        {Bind("Quillarin.exe", 2030), Bind("grd.pac", 2031), Bind("movie/eyecatch01.mpg", 2032),
         Bind("new.pac", 2033), Bind("srp_6.pac", 2034)},
        patches);
    ExpectEveryMomentPutRight(&manifest);
}

// Ended at any moment while the files go in (between two of them, or between the two renames
// of one), whichever pass runs next leaves the installation whole: without the update it is
// put back as it was (or, once the journal said every file was in, left new), another update
// goes in over the old files, and the same update completes. Nothing of the passes is left.
void PassEnded::ExpectEveryMomentPutRight(const std::string *manifest)
{
    const SavedTree updateA = SaveTree(update);
    const SavedTree before = SaveTree(install);

    // Every state the installation passes through once the last byte is staged.
    struct Moments {
        std::string install;
        std::vector<SavedTree> seen;
    } moments{install, {}};
    recorder.hookData = &moments;
    recorder.onProgress = [](RecordingView &view, const PassProgress &) {
        Moments &at = *static_cast<Moments *>(view.hookData);
        if (!FileExists(at.install + "\\" + Cp932(JournalName)))
            return;
        SavedTree now = SaveTree(at.install);
        if (at.seen.empty() || !(now == at.seen.back()))
            at.seen.push_back(now);
    };
    ASSERT_TRUE(Run(manifest));
    const SavedTree after = SaveTree(install);
    ASSERT_FALSE(moments.seen.empty());
    // Before the journal is in, only staged files are new.
    SavedTree staged = moments.seen[0];
    staged.erase(
        std::remove_if(staged.begin(), staged.end(),
                       [](const SavedFile &file) { return file.name == Cp932(JournalName); }),
        staged.end());
    moments.seen.insert(moments.seen.begin(), staged);
    moments.seen.insert(moments.seen.begin(), before);
    moments.seen.push_back(after);
    // And between the two renames that replace a file: the old one aside, the new one not in.
    std::vector<SavedTree> moments2 = moments.seen;
    for (const SavedTree &seen : moments.seen) {
        for (const char *name : {"grd.pac", "movie/eyecatch01.mpg"}) {
            std::string staged = std::string(name) + ".qupdate-new";
            std::string kept = std::string(name) + ".qupdate-kept";
            if (!Has(seen, staged) || Has(seen, kept) || !Has(seen, Cp932(JournalName)))
                continue;
            SavedTree half = seen;
            for (SavedFile &file : half) {
                if (file.name == name)
                    file.name = kept;
            }
            std::sort(half.begin(), half.end(),
                      [](const SavedFile &a, const SavedFile &b) { return a.name < b.name; });
            moments2.push_back(half);
        }
    }
    ASSERT_GE(moments2.size(), 10u) << "too few moments seen";

    // Another update: a newer grd.pac alone.
    const SavedTree updateB = {
        {"grd.pac", PatternBytes(5000, 99), TimesAt(2030).written, FILE_ATTRIBUTE_ARCHIVE}};

    for (size_t m = 0; m < moments2.size(); ++m) {
        const SavedTree &moment = moments2[m];
        SavedTree whole; // as the pass without the update leaves it
        for (const char *next : {"none", "other", "same"}) {
            SCOPED_TRACE("moment " + std::to_string(m) + ":" + Listing(moment) + "; next: " + next);
            RestoreTree(install, moment);
            RemoveTree(update);
            if (std::string(next) != "none")
                RestoreTree(update, std::string(next) == "same" ? updateA : updateB);
            PassJournal found;
            DWORD error = 0;
            GuardedRoot installation;
            OpenGuardedRoot(installation, TestPath(install).wide().c_str());
            bool pending =
                ReadJournal(installation, found, error) == JournalRead && !found.committed;
            installation.Close();
            free(found.entries);
            // A bound update writes no file that is new already, whoever put it there.
            std::map<std::string, ULONGLONG> newAlready;
            for (const SavedFile &file : moment) {
                for (const SavedFile &updated : after) {
                    if (manifest != nullptr && std::string(next) == "same" &&
                        updated.name == file.name && updated.bytes == file.bytes)
                        newAlready[file.name] = FileIdOf(install + "\\" + file.name);
                }
            }
            recorder.Reset();
            bool done = Run(std::string(next) == "other" ? nullptr : manifest);
            SavedTree now = SaveTree(install);
            for (const auto &id : newAlready)
                EXPECT_EQ(FileIdOf(install + "\\" + id.first), id.second)
                    << id.first << " rewritten";
            if (std::string(next) == "none") {
                EXPECT_FALSE(done);
                ASSERT_EQ(recorder.stops.size(), 1u);
                EXPECT_EQ(recorder.stops[0].stop, StopUpdateMissing);
                EXPECT_TRUE(recorder.stops[0].unchanged);
                EXPECT_EQ(recorder.stops[0].undidInterrupted, pending);
                EXPECT_TRUE(now == before || (!pending && now == after))
                    << "not whole:" << Listing(now);
                whole = now;
            } else if (std::string(next) == "same") {
                EXPECT_TRUE(done);
                EXPECT_TRUE(now == after) << "not the update:" << Listing(now);
            } else {
                // Its file in, every other as the pass without the update left it.
                EXPECT_TRUE(done);
                ASSERT_EQ(now.size(), whole.size()) << Listing(now);
                for (size_t i = 0; i < now.size(); ++i) {
                    EXPECT_EQ(now[i].name, whole[i].name);
                    EXPECT_TRUE(now[i].bytes ==
                                (now[i].name == "grd.pac" ? updateB[0].bytes : whole[i].bytes))
                        << now[i].name;
                }
            }
        }
    }

    // A journal cut short cannot say what was changed: nothing is touched, and the user is
    // told.
    bool damagedSeen = false;
    for (const SavedTree &moment : moments2) {
        if (damagedSeen || !Has(moment, Cp932(JournalName)))
            continue;
        damagedSeen = true;
        SavedTree cut = moment;
        for (SavedFile &file : cut) {
            if (file.name == Cp932(JournalName))
                file.bytes.pop_back();
        }
        RestoreTree(install, cut);
        RestoreTree(update, updateA);
        recorder.Reset();
        EXPECT_FALSE(Run(manifest));
        ASSERT_EQ(recorder.stops.size(), 1u);
        EXPECT_EQ(recorder.stops[0].stop, StopJournalDamaged);
        EXPECT_TRUE(SaveTree(install) == cut) << "changed:" << Listing(SaveTree(install));
    }
    EXPECT_TRUE(damagedSeen);
}

// A replaced file that cannot be removed at the end (a program started from it meanwhile) stays
// named by the committed journal, and goes with the next pass, whatever that pass then does.
TEST_F(UpdatePass, KeptFileStillHeldAtTheEndGoesWithTheNextPass)
{
    UseProductLists();
    InstallEveryListedFile(true);
    Carry("grd.pac", 70000);
    Carry("vic.pac", 3000);
    struct LateHold {
        std::string kept;
        HeldOpen *holder;
    } late = {install + "\\grd.pac.qupdate-kept", nullptr};
    recorder.hookData = &late;
    recorder.onProgress = [](RecordingView &view, const PassProgress &) {
        LateHold &hold = *static_cast<LateHold *>(view.hookData);
        if (hold.holder == nullptr && FileExists(hold.kept))
            hold.holder = new HeldOpen(hold.kept, GENERIC_READ, FILE_SHARE_READ);
    };

    EXPECT_TRUE(Run());
    ASSERT_NE(late.holder, nullptr);
    ExpectUpdated("grd.pac");
    ExpectUpdated("vic.pac");
    EXPECT_TRUE(FileExists(late.kept));
    EXPECT_TRUE(FileExists(install + "\\" + Cp932(JournalName)));
    delete late.holder;

    // Without its update, the next pass stops; the files stay new and the pass's are gone.
    RemoveTree(update);
    recorder.Reset();
    EXPECT_FALSE(Run());
    ASSERT_EQ(recorder.stops.size(), 1u);
    EXPECT_EQ(recorder.stops[0].stop, StopUpdateMissing);
    EXPECT_FALSE(recorder.stops[0].undidInterrupted);
    EXPECT_TRUE(SameBytes(Content(install + "\\grd.pac"), carried["grd.pac"]));
    ExpectNothingElseInTheInstallation();
}

// Links planted at the names an ended pass's journal gives, by whoever may write the install
// folder: a committed pass's kept files become a second name of a victim's file larger than a
// step of freeing (which cutting would shorten) and a link to another; an interrupted pass's
// created file becomes a link to a victim's file of the size and time the pass left, and a file
// whose attributes it would restore a second name of one. The next pass, without the update,
// follows none of them: the victim's files keep their bytes and attributes.
TEST_F(UpdatePass, LinksPlantedAfterAnEndedPassAreNeitherFollowedNorCut)
{
    UseProductLists();
    TemporaryFolder elsewhere;
    const std::string victim = elsewhere / "victim";
    MakeFolder(victim);
    WriteFileBytes(victim + "\\large.dat", PatternBytes((64u << 20) + 70000, 5));
    for (const char *name : {"small.dat", "created.dat", "shared.dat"})
        WriteFileBytes(victim + "\\" + name, std::string("the victim's ") + name);
    const std::string inside = install + "\\";
    ASSERT_TRUE(CreateHardLinkW(TestPath(inside + "grd.pac.qupdate-kept").system(),
                                TestPath(victim + "\\large.dat").system(), nullptr));
    ASSERT_TRUE(PlantSymbolicLink(inside + "vic.pac.qupdate-kept", victim + "\\small.dat"));
    ASSERT_TRUE(PlantSymbolicLink(inside + "se.pac", victim + "\\created.dat"));
    ASSERT_TRUE(CreateHardLinkW(TestPath(inside + "mus.pac").system(),
                                TestPath(victim + "\\shared.dat").system(), nullptr));
    const std::string before = StateOf(victim);
    // What the journal says of a file, and of the one the pass left there: the victim's.
    auto entry = [&](const char *name, DWORD flags, DWORD oldAttributes, const char *left) {
        JournalEntry written = {};
        lstrcpynA(written.name, name, sizeof written.name);
        written.flags = flags;
        written.oldAttributes = oldAttributes;
        written.size = (std::string("the victim's ") + left).size();
        written.written = TimesOf(victim + "\\" + left).written;
        return written;
    };
    const DWORD replaced = JournalCarried | JournalHadOld | JournalExisted;
    for (bool committed : {true, false}) {
        SCOPED_TRACE(committed ? "committed" : "interrupted");
        // The interrupted pass created se.pac and took read-only and hidden from mus.pac.
        JournalEntry entries[2] = {
            committed ? entry("grd.pac", replaced, 0, "large.dat")
                      : entry("se.pac", JournalCarried, 0, "created.dat"),
            committed ? entry("vic.pac", replaced, 0, "small.dat")
                      : entry("mus.pac", JournalExisted,
                              FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN, "shared.dat")};
        GuardedRoot installation;
        ASSERT_EQ(OpenGuardedRoot(installation, TestPath(install).wide().c_str()), ERROR_SUCCESS);
        PassJournal journal = {};
        journal.committed = committed;
        journal.count = 2;
        journal.entries = entries;
        DWORD error = 0;
        ASSERT_TRUE(WriteJournal(installation, journal, error)) << error;
        installation.Close();
        recorder.Reset();

        EXPECT_FALSE(Run());

        ASSERT_EQ(recorder.stops.size(), 1u);
        EXPECT_EQ(recorder.stops[0].stop, StopUpdateMissing);
        EXPECT_EQ(recorder.stops[0].undidInterrupted, !committed);
        EXPECT_EQ(StateOf(victim), before);
    }
    EXPECT_EQ(FolderNames(install), (Names{"mus.pac", "se.pac"})) << "a kept name is left";
    RemoveThroughUnix(install);
}

TEST_F(UpdatePass, FoldersAndNamesWithABackslashTrailByte)
{
    // 表 is 95 5C and ソ is 83 5C in CP932: a byte-wise search for the last separator would
    // put the staged file into a folder that does not exist.
    tool = root / "ツール表";
    update = tool + "\\" + Product.productFolderName;
    install = root / "表示\\ソフト";
    MakeFolder(root / "表示");
    MakeFolder(tool);
    MakeFolder(install);
    const char *mainNames[] = {"ソフト表.pac", "movie/表紙.mpg", nullptr};
    const char *extraNames[] = {"grd.pac", nullptr};
    UseLists(mainNames, extraNames);
    MakeFolder(install + "\\movie");
    for (const char *name : {"ソフト表.pac", "movie/表紙.mpg", "grd.pac"}) {
        Install(name, FILE_ATTRIBUTE_HIDDEN);
        Carry(name, 70000);
    }

    EXPECT_TRUE(Run());

    for (const char *name : {"ソフト表.pac", "movie/表紙.mpg", "grd.pac"})
        ExpectUpdated(name);
    ExpectNothingElseInTheInstallation();
    EXPECT_EQ(FolderNames(root / "表示"), (Names{"ソフト"}));
}

// The one form every path of the pass reaches the system in: as composed up to 259
// characters; past them extended, and normalised first, since that form is taken literally.
TEST(SystemPath, LongPathsTakeTheExtendedFormNormalisedFirst)
{
    wchar_t path[ComposedPathCapacity];
    auto composed = [&](const std::wstring &folder, const wchar_t *name,
                        const wchar_t *suffix = nullptr) {
        return SystemPath(path, folder.c_str(), name, suffix) ? std::wstring(path)
                                                              : std::wstring(L"<refused>");
    };
    const std::wstring deep(240, L'd');
    EXPECT_EQ(composed(L"C:\\Games\\Q", L"movie\\a.mpg"), L"C:\\Games\\Q\\movie\\a.mpg");
    // 259 characters stay as they are; 260 do not.
    const std::wstring within = L"C:\\" + std::wstring(259 - 3 - 8, L'e');
    EXPECT_EQ(composed(within, L"grd.pac"), within + L"\\grd.pac");
    EXPECT_EQ(composed(within + L"e", L"grd.pac"), L"\\\\?\\" + within + L"e\\grd.pac");
    EXPECT_EQ(composed(L"C:\\" + deep, L"grd.pac", StagedSuffix),
              L"\\\\?\\C:\\" + deep + L"\\grd.pac.qupdate-new");
    EXPECT_EQ(composed(L"C:/Games/x/../" + deep, L"movie\\a.mpg"),
              L"\\\\?\\C:\\Games\\" + deep + L"\\movie\\a.mpg");
    EXPECT_EQ(composed(L"\\\\server\\share\\" + deep, L"grd.pac"),
              L"\\\\?\\UNC\\server\\share\\" + deep + L"\\grd.pac");
    EXPECT_EQ(composed(L"\\\\?\\C:\\Q", L"grd.pac"), L"\\\\?\\C:\\Q\\grd.pac")
        << "already extended";
    EXPECT_EQ(composed(L"C:\\Q", nullptr), L"C:\\Q");
    EXPECT_EQ(composed(L"C:\\Q", L""), L"C:\\Q\\");
    EXPECT_EQ(composed(L"C:\\", L"grd.pac"), L"C:\\grd.pac") << "a root has its separator";
    EXPECT_EQ(composed(L"C:\\Q\\", L"grd.pac"), L"C:\\Q\\grd.pac");
    // Made whole on the current drive, the path passes the limit.
    wchar_t drive[8];
    ASSERT_EQ(GetFullPathNameW(L"\\", 8, drive, nullptr), 3u);
    EXPECT_EQ(composed(L"\\" + std::wstring(250, L'r'), L"grd.pac"),
              L"\\\\?\\" + std::wstring(drive) + std::wstring(250, L'r') + L"\\grd.pac");
    // Held only with its prefix, which does not fit.
    const std::wstring nearlyFull = L"C:\\" + std::wstring(ComposedPathCapacity - 14, L'g');
    EXPECT_EQ(composed(nearlyFull, L"grd.pac"), L"<refused>");
    EXPECT_EQ(composed(L"C:\\" + std::wstring(ComposedPathCapacity, L'f'), L"grd.pac"),
              L"<refused>");
    EXPECT_EQ(path[0], L'\0');
}

TEST(FormatGrouped, DigitsInThrees)
{
    char number[32];
    for (auto expected :
         {std::make_pair(0ull, "0"), std::make_pair(999ull, "999"),
          std::make_pair(1024ull, "1,024"), std::make_pair(4294967296ull, "4,294,967,296")}) {
        FormatGrouped(number, expected.first);
        EXPECT_STREQ(number, expected.second);
    }
}

} // namespace
