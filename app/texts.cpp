#include "texts.h"

#include "../engine/setup_engine.h"

const char PromptText[] = "%s　を\nアップデートしますか？";
const char CaptionText[] = "%s Updata";
const char RefusalMessage[] =
    "インストールがされてませんでした。\nインストールを行ってからアップデートしてください。";
const char RefusalMessageCaption[] = "確認";
const char CompletionMessage[] = "アップデートが完了しました。";
const char CompletionMessageCaption[] = "終了";
const char FailureMessageCaption[] = "エラー";
const char SessionEndReason[] = "ゲームのファイルを更新しています。終わるまでお待ちください。";

void DescribeProgress(const PassProgress &progress, char *text, size_t capacity)
{
    char name[FileNameCapacity];
    DisplayName(name, sizeof name, progress.name != nullptr ? progress.name : "");
    char done[32], total[32];
    // Whole megabytes: done rounded down, the total up, so that only the end shows both equal.
    ULONGLONG totalMegabytes = (progress.bytes + 0xFFFFF) >> 20;
    FormatGrouped(done,
                  progress.bytesDone >= progress.bytes ? totalMegabytes : progress.bytesDone >> 20);
    FormatGrouped(total, totalMegabytes);
    char buffer[ComposedPathCapacity];
    wsprintfA(buffer, "%s を更新しています…\n%lu / %lu ファイル　%s / %s MB", name,
              progress.fileNumber, progress.files, done, total);
    CopyBounded(text, capacity, buffer);
}

static void DescribeCause(const PassReport &report, const char *name, const char *installFolder,
                          char *text)
{
    const char *fromArchive =
        report.fromArchive ? "このツールは圧縮ファイルの中から直接実行されています。" : "";
    const char *extract = "ダウンロードした圧縮ファイルをすべて一つのフォルダに展開し、"
                          "そのフォルダにあるこのツールを実行してください。";
    char folder[ComposedPathCapacity];
    switch (report.stop) {
    case StopUpdateMissing:
        wsprintfA(text,
                  "アップデートのファイルがそろっていません。\nこのツールの隣にフォルダ「%s」が"
                  "ないか、その中に更新するファイルがありません。\n%s%s",
                  name, fromArchive, extract);
        break;
    case StopFileMissing:
        wsprintfA(text,
                  "アップデートのファイルがそろっていません。\n見つからないファイル: %s\n%s%s",
                  name, fromArchive, extract);
        break;
    case StopFileDamaged:
        wsprintfA(text,
                  "%s が壊れています。\nアップデートをもう一度ダウンロードして、展開し直してくだ"
                  "さい。",
                  name);
        break;
    case StopManifestDamaged:
        wsprintfA(text, "このツールが壊れています。\nアップデートをもう一度ダウンロードしてくだ"
                        "さい。");
        break;
    case StopInstallMissing:
        wsprintfA(text,
                  "インストール先のフォルダが見つかりません。\n（インストール先: %s）\nゲームを"
                  "インストールし直してから、もう一度アップデートしてください。",
                  installFolder);
        break;
    case StopToolPathUnreadable:
        wsprintfA(text, "このツールのフォルダ名に、この Windows の言語で扱えない文字が含まれて"
                        "います。\nダウンロードした圧縮ファイルを英数字だけの名前のフォルダ（例: "
                        "C:\\Update）に展開し、そこにあるこのツールを実行してください。");
        break;
    case StopInstallPathUnreadable:
        wsprintfA(
            text,
            "インストール先のフォルダ名に、この Windows の言語で扱えない文字が含まれて"
            "います。\nコントロール パネルの［地域］で［Unicode 対応ではないプログラムの言語］"
            "を日本語にしてから、もう一度アップデートしてください。");
        break;
    case StopFolderMissing:
        wsprintfA(text,
                  "%s を更新できませんでした。\nインストール先にフォルダ「%s」がありません。\n"
                  "ゲームをインストールし直してから、もう一度アップデートしてください。",
                  name, FolderOf(name, folder) != nullptr ? folder : installFolder);
        break;
    case StopInUse:
        wsprintfA(text,
                  "%s を更新できませんでした。\nこのファイルは他のプログラムが使用中です。\n"
                  "ゲームや、このファイルを開いているプログラムを終了してから［再試行］を押して"
                  "ください。［キャンセル］を押すとアップデートを中止し、インストール先を元の"
                  "ままにします。",
                  name);
        break;
    case StopDiskFull: {
        char needed[32] = "";
        if (report.bytesNeeded > report.bytesFree) {
            char megabytes[32];
            FormatGrouped(megabytes, (report.bytesNeeded - report.bytesFree + 0xFFFFF) >> 20);
            wsprintfA(needed, "あと %s MB ", megabytes);
        }
        wsprintfA(text,
                  "インストール先のドライブの空き容量が足りません。\n%s空き容量を増やしてから、"
                  "もう一度アップデートしてください。\n（インストール先: %s）",
                  needed, installFolder);
        break;
    }
    case StopAccessDenied:
        wsprintfA(text,
                  "%s を更新できませんでした。\nこのファイルを書き換える権限がありません。\n"
                  "このツールを右クリックして［管理者として実行］を選び、もう一度アップデートして"
                  "ください。",
                  name);
        break;
    default:
        wsprintfA(text, "%s を更新できませんでした。\nシステムのエラー コード %lu が返されました。",
                  name, report.error);
        break;
    }
}

void DescribeStop(const PassReport &report, const char *installFolder, char *text, size_t capacity)
{
    char name[FileNameCapacity];
    DisplayName(name, sizeof name, report.name != nullptr ? report.name : "");
    char cause[2 * ComposedPathCapacity];
    DescribeCause(report, name, installFolder, cause);
    const char *outcome = "";
    if (!report.question) {
        outcome = report.unchanged ? "\n\nアップデートを中止しました。インストール先のファイルは"
                                     "何も変更されていません。"
                                   : "\n\nアップデートを中止しましたが、一部のファイルを元に戻せ"
                                     "ませんでした。もう一度アップデートしてください。";
    }
    char buffer[3 * ComposedPathCapacity];
    wsprintfA(buffer, "%s%s", cause, outcome);
    CopyBounded(text, capacity, buffer);
}

void ToScreenText(const char *text, wchar_t *screen, int capacity)
{
    int length = MultiByteToWideChar(932, 0, text, -1, screen, capacity);
    if (length == 0)
        screen[0] = L'\0';
}

void SetScreenText(HWND window, const char *text)
{
    wchar_t screen[ScreenTextCapacity];
    ToScreenText(text, screen, ScreenTextCapacity);
    SetWindowTextW(window, screen);
}

int ShowMessage(HWND owner, const char *text, const char *caption, UINT flags)
{
    wchar_t screenText[ScreenTextCapacity];
    wchar_t screenCaption[64];
    ToScreenText(text, screenText, ScreenTextCapacity);
    ToScreenText(caption, screenCaption, 64);
    return MessageBoxW(owner, screenText, screenCaption, flags);
}
