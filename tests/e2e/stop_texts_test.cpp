// What the user reads for each cause a pass can stop for: the file as listed with the
// system's separator, what to do, and whether anything in the installation changed.
#include "../../app/texts.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string Told(PassStop stop, const char *name, bool unchanged = true, bool question = false)
{
    PassReport report = {};
    report.stop = stop;
    report.name = name;
    report.unchanged = unchanged;
    report.question = question;
    report.error = 123;
    char text[ScreenTextCapacity];
    DescribeStop(report, "C:\\Games\\Quillarin", text, sizeof text);
    return text;
}

bool Has(const std::string &text, const char *part)
{
    return text.find(part) != std::string::npos;
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
        {StopManifestDamaged, nullptr, "このツールが壊れています。"},
        {StopInstallMissing, nullptr, "（インストール先: C:\\Games\\Quillarin）"},
        {StopFolderMissing, "movie/eyecatch01.mpg", "フォルダ「movie」がありません。"},
        {StopToolPathUnreadable, nullptr, "英数字だけの名前のフォルダ"},
        {StopInstallPathUnreadable, nullptr, "［Unicode 対応ではないプログラムの言語］を日本語に"},
        {StopDiskFull, nullptr, "空き容量が足りません。"},
        {StopAccessDenied, "grd.pac", "［管理者として実行］"},
        {StopOther, "grd.pac", "エラー コード 123 "},
    };
    for (const Case &item : cases) {
        SCOPED_TRACE(item.stop);
        std::string text = Told(item.stop, item.name);
        EXPECT_TRUE(Has(text, item.says)) << text;
        EXPECT_TRUE(Has(text, Unchanged)) << text;
    }
    // Run from inside the archive: said only then.
    PassReport report = {};
    report.stop = StopFileMissing;
    report.name = "grd.pac";
    report.unchanged = true;
    char text[ScreenTextCapacity];
    DescribeStop(report, "C:\\Games", text, sizeof text);
    EXPECT_FALSE(Has(text, "圧縮ファイルの中から直接実行されています。"));
    report.fromArchive = true;
    DescribeStop(report, "C:\\Games", text, sizeof text);
    EXPECT_TRUE(Has(text, "圧縮ファイルの中から直接実行されています。"));
}

TEST(StopTexts, QuestionPromisesWhatCancelDoesAndAFailedPutBackIsNotHidden)
{
    std::string question = Told(StopInUse, "grd.pac", true, true);
    EXPECT_TRUE(Has(question, "grd.pac を更新できませんでした。"));
    EXPECT_TRUE(
        Has(question,
            "［キャンセル］を押すとアップデートを中止し、インストール先を元のままにします。"));
    EXPECT_FALSE(Has(question, Unchanged)) << "nothing has stopped yet";

    std::string notPutBack = Told(StopInUse, "grd.pac", false);
    EXPECT_FALSE(Has(notPutBack, Unchanged));
    EXPECT_TRUE(Has(notPutBack, "一部のファイルを元に戻せませんでした。"));
}

TEST(StopTexts, FullDiskSaysHowMuchRoomIsMissing)
{
    PassReport report = {};
    report.stop = StopDiskFull;
    report.unchanged = true;
    report.bytesNeeded = 3ull << 30;
    report.bytesFree = (1ull << 30) + 1;
    char text[ScreenTextCapacity];
    DescribeStop(report, "C:\\Games", text, sizeof text);
    EXPECT_TRUE(Has(text, "あと 2,048 MB ")) << text;
}

} // namespace
