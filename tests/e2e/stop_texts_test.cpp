// What the user reads for each cause a pass can stop for: the file as listed with the
// system's separator, what to do, and whether anything in the installation changed.
#include "../../app/texts.h"
#include "../engine/test_support.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::wstring Told(PassStop stop, const char *name, bool unchanged = true, bool question = false)
{
    PassReport report = {};
    report.stop = stop;
    report.name = name;
    report.unchanged = unchanged;
    report.question = question;
    report.error = 123;
    wchar_t text[ScreenTextCapacity];
    DescribeStop(report, L"C:\\Games\\Quillarin", text, ScreenTextCapacity);
    return text;
}

bool Has(const std::wstring &text, const char *part)
{
    return text.find(Wide(part)) != std::wstring::npos;
}

const char Unchanged[] =
    "アップデートを中止しました。インストール先のファイルは何も変更されていません。";

TEST(StopTexts, EachCauseSaysWhatToDoAndThatNothingChanged)
{
    struct Case {
        PassStop stop;
        const char *name;
        const char *says;
    };
    const Case cases[] = {
        {StopUpdateMissing, "Quillarin", "フォルダ「Quillarin」がないか"},
        {StopFileMissing, "movie/eyecatch01.mpg", "見つからないファイル: movie\\eyecatch01.mpg"},
        {StopFileDamaged, "movie/eyecatch01.mpg", "movie\\eyecatch01.mpg が壊れています。"},
        {StopNotApplicable, "movie/eyecatch01.mpg",
         "movie\\eyecatch01.mpg を更新できませんでした。\nインストールされているこのファイルは、"
         "このアップデートで更新できる版ではありません"},
        {StopManifestDamaged, nullptr, "このツールが壊れています。"},
        {StopJournalDamaged, nullptr,
         "前回のアップデートの記録を読み取れません。\n（インストール先: "
         "C:\\Games\\Quillarin）"},
        {StopInstallMissing, nullptr, "（インストール先: C:\\Games\\Quillarin）"},
        {StopFolderMissing, "movie/eyecatch01.mpg", "フォルダ「movie」がありません。"},
        {StopDiskFull, nullptr, "空き容量が足りません。"},
        {StopAccessDenied, "grd.pac", "［管理者として実行］"},
        // Wine grants elevation at once: only here is the answer No seen.
        {StopElevationDeclined, "grd.pac",
         "grd.pac を更新できませんでした。\nこのファイルを書き換えるには管理者の権限が必要ですが、"
         "許可されませんでした。"},
        {StopLinked, "movie/eyecatch01.mpg",
         "movie\\eyecatch01.mpg を更新できませんでした。\nこのファイルか、その途中のフォルダが、"
         "別の場所へのリンク"},
        {StopLinked, nullptr,
         "インストール先のフォルダ（C:\\Games\\Quillarin）が、別の場所へのリンク"},
        {StopOther, "grd.pac", "grd.pac を更新できませんでした。\nシステムのエラー コード 123 "},
        {StopOther, nullptr, "アップデートできませんでした。\nシステムのエラー コード 123 "},
    };
    for (const Case &item : cases) {
        SCOPED_TRACE(item.stop);
        std::wstring text = Told(item.stop, item.name);
        EXPECT_TRUE(Has(text, item.says)) << Utf8(text);
        EXPECT_TRUE(Has(text, Unchanged)) << Utf8(text);
    }
    // Run from inside the archive: said only then.
    PassReport report = {};
    report.stop = StopFileMissing;
    report.name = "grd.pac";
    report.unchanged = true;
    wchar_t text[ScreenTextCapacity];
    DescribeStop(report, L"C:\\Games", text, ScreenTextCapacity);
    EXPECT_FALSE(Has(text, "圧縮ファイルの中から直接実行されています。"));
    report.fromArchive = true;
    DescribeStop(report, L"C:\\Games", text, ScreenTextCapacity);
    EXPECT_TRUE(Has(text, "圧縮ファイルの中から直接実行されています。"));
}

TEST(StopTexts, QuestionPromisesWhatCancelDoesAndAFailedPutBackIsNotHidden)
{
    std::wstring question = Told(StopInUse, "grd.pac", true, true);
    EXPECT_TRUE(Has(question, "grd.pac を更新できませんでした。"));
    EXPECT_TRUE(
        Has(question,
            "［キャンセル］を押すとアップデートを中止し、インストール先を元のままにします。"));
    EXPECT_FALSE(Has(question, Unchanged)) << "nothing has stopped yet";

    std::wstring notPutBack = Told(StopInUse, "grd.pac", false);
    EXPECT_FALSE(Has(notPutBack, Unchanged));
    EXPECT_TRUE(Has(notPutBack, "一部のファイルを元に戻せませんでした。"));
}

// An interrupted update put back before this pass stopped: the installation did change, back
// to what it was before that update, and the user is told so.
TEST(StopTexts, AnInterruptedUpdatePutBackIsToldNotHidden)
{
    PassReport report = {};
    report.stop = StopUpdateMissing;
    report.name = "Quillarin";
    report.unchanged = true;
    report.undidInterrupted = true;
    wchar_t text[ScreenTextCapacity];
    DescribeStop(report, L"C:\\Games", text, ScreenTextCapacity);
    std::wstring told = text;
    EXPECT_FALSE(Has(told, Unchanged)) << Utf8(told);
    EXPECT_TRUE(Has(told,
                    "前回途中で終わったアップデートは取り消し、インストール先のファイルはすべて"
                    "その前の状態に戻しました。"))
        << Utf8(told);
    report.unchanged = false;
    DescribeStop(report, L"C:\\Games", text, ScreenTextCapacity);
    EXPECT_TRUE(Has(text, "一部のファイルを元に戻せませんでした。")) << Utf8(text);
}

// The install folder is named whole, whatever script its name is in, and however long.
TEST(StopTexts, FullDiskSaysHowMuchRoomIsMissingAndWhere)
{
    PassReport report = {};
    report.stop = StopDiskFull;
    report.unchanged = true;
    report.bytesNeeded = 3ull << 30;
    report.bytesFree = (1ull << 30) + 1;
    wchar_t text[ScreenTextCapacity];
    std::wstring folder = L"D:\\Zoë 한국\\" + std::wstring(259 - 10, L'x');
    ASSERT_EQ(folder.size(), 259u);
    DescribeStop(report, folder.c_str(), text, ScreenTextCapacity);
    std::wstring told = text;
    EXPECT_TRUE(Has(told, "あと 2,048 MB ")) << Utf8(told);
    EXPECT_NE(told.find(Wide("（インストール先: ") + folder + Wide("）")), std::wstring::npos)
        << Utf8(told);
    EXPECT_TRUE(Has(told, Unchanged)) << Utf8(told);
}

} // namespace
