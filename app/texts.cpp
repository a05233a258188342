#include "texts.h"

#include "../engine/setup_engine.h"

#include <stdarg.h>

const char PromptText[] = "%s　を\nアップデートしますか？";
const char CaptionText[] = "%s Updata";
const char RefusalMessage[] =
    "インストールがされてませんでした。\nインストールを行ってからアップデートしてください。";
const char RefusalMessageCaption[] = "確認";
const char CompletionMessage[] = "アップデートが完了しました。";
const char CompletionMessageCaption[] = "終了";
const char FailureMessageCaption[] = "エラー";
const char SessionEndReason[] = "ゲームのファイルを更新しています。終わるまでお待ちください。";

// A text of this file with its %s filled by UTF-16 arguments, so that a folder named in
// any script reads right (%hs takes the digits FormatGrouped writes). wvsprintfW writes at most
// 1,024 characters, which every text with a folder of the record's 259 characters keeps within.
static void Format(wchar_t *text, const char *format, ...)
{
    wchar_t wideFormat[ScreenTextCapacity];
    ToScreenText(format, wideFormat, ScreenTextCapacity);
    va_list arguments;
    va_start(arguments, format);
    wvsprintfW(text, wideFormat, arguments);
    va_end(arguments);
}

void DescribeProgress(const PassProgress &progress, wchar_t *text, int capacity)
{
    wchar_t name[FileNameCapacity];
    WideDisplayName(name, FileNameCapacity, progress.name != nullptr ? progress.name : "");
    char done[32], total[32];
    // Whole megabytes: done rounded down, the total up, so that only the end shows both equal.
    ULONGLONG totalMegabytes = (progress.bytes + 0xFFFFF) >> 20;
    FormatGrouped(done,
                  progress.bytesDone >= progress.bytes ? totalMegabytes : progress.bytesDone >> 20);
    FormatGrouped(total, totalMegabytes);
    wchar_t buffer[ScreenTextCapacity];
    Format(buffer, "%s を更新しています…\n%lu / %lu ファイル　%hs / %hs MB", name,
           progress.fileNumber, progress.files, done, total);
    lstrcpynW(text, buffer, capacity);
}

static void DescribeCause(const PassReport &report, const wchar_t *name,
                          const wchar_t *installFolder, bool elevatedCopy, wchar_t *text)
{
    wchar_t fromArchive[ScreenTextCapacity], extract[ScreenTextCapacity];
    ToScreenText(report.fromArchive ? "このツールは圧縮ファイルの中から直接実行されています。" : "",
                 fromArchive, ScreenTextCapacity);
    ToScreenText("ダウンロードした圧縮ファイルをすべて一つのフォルダに展開し、"
                 "そのフォルダにあるこのツールを実行してください。",
                 extract, ScreenTextCapacity);
    switch (report.stop) {
    case StopUpdateMissing:
        Format(text,
               "アップデートのファイルがそろっていません。\nこのツールの隣にフォルダ「%s」が"
               "ないか、その中に更新するファイルがありません。\n%s%s",
               name, fromArchive, extract);
        break;
    case StopFileMissing:
        Format(text, "アップデートのファイルがそろっていません。\n見つからないファイル: %s\n%s%s",
               name, fromArchive, extract);
        break;
    case StopFileDamaged:
        Format(text,
               "%s が壊れています。\nアップデートをもう一度ダウンロードして、展開し直してくだ"
               "さい。",
               name);
        break;
    case StopNotApplicable:
        Format(text,
               "%s を更新できませんでした。\nインストールされているこのファイルは、このアップデート"
               "で更新できる版ではありません（変更されているか、別の版です）。\n配布元から"
               "完全版のアップデートを入手して実行するか、ゲームをインストールし直してから、"
               "もう一度アップデートしてください。",
               name);
        break;
    case StopManifestDamaged:
        Format(text, "このツールが壊れています。\nアップデートをもう一度ダウンロードしてくだ"
                     "さい。");
        break;
    case StopJournalDamaged:
        Format(
            text,
            "前回のアップデートの記録を読み取れません。\n（インストール先: %s）\n前回のアップデート"
            "が途中で終わり、ファイルが新旧混ざっているおそれがあります。ゲームをインストール"
            "し直してから、もう一度アップデートしてください。",
            installFolder);
        break;
    case StopInstallMissing:
        Format(text,
               "インストール先のフォルダが見つかりません。\n（インストール先: %s）\nゲームを"
               "インストールし直してから、もう一度アップデートしてください。",
               installFolder);
        break;
    case StopFolderMissing: {
        wchar_t folder[PathFieldCapacity];
        Format(text,
               "%s を更新できませんでした。\nインストール先にフォルダ「%s」がありません。\n"
               "ゲームをインストールし直してから、もう一度アップデートしてください。",
               name, FolderOf(name, folder, PathFieldCapacity) ? folder : installFolder);
        break;
    }
    case StopInUse:
        Format(text,
               "%s を更新できませんでした。\nこのファイルは他のプログラムが使用中です。\n"
               "ゲームや、このファイルを開いているプログラムを終了してから［再試行］を押して"
               "ください。［キャンセル］を押すとアップデートを中止し、インストール先を元の"
               "ままにします。",
               name);
        break;
    case StopDiskFull: {
        wchar_t needed[64] = L"";
        if (report.bytesNeeded > report.bytesFree) {
            char megabytes[32];
            FormatGrouped(megabytes, (report.bytesNeeded - report.bytesFree + 0xFFFFF) >> 20);
            Format(needed, "あと %hs MB ", megabytes);
        }
        Format(text,
               "インストール先のドライブの空き容量が足りません。\n%s空き容量を増やしてから、"
               "もう一度アップデートしてください。\n（インストール先: %s）",
               needed, installFolder);
        break;
    }
    case StopAccessDenied:
        if (elevatedCopy) {
            Format(text,
                   "%s を更新できませんでした。\n管理者として実行しても、このファイルを書き換える"
                   "権限がありません。\nインストール先のフォルダとファイルのアクセス許可を確認して"
                   "から、もう一度アップデートしてください。",
                   name);
            break;
        }
        Format(text,
               "%s を更新できませんでした。\nこのファイルを書き換える権限がありません。\n"
               "このツールを右クリックして［管理者として実行］を選び、もう一度アップデートして"
               "ください。",
               name);
        break;
    case StopLinked: {
        // The install folder itself, or a carried file or a folder on its way.
        wchar_t what[ScreenTextCapacity];
        Format(what,
               name[0] == L'\0' ? "アップデートできませんでした。\nインストール先のフォルダ（%s）"
                                : "%s を更新できませんでした。\nこのファイルか、その途中のフォルダ",
               name[0] == L'\0' ? installFolder : name);
        Format(text,
               "%sが、別の場所へのリンク（シンボリック リンク、ジャンクション、ハード リンク"
               "など）になっています。このツールはリンクを通して書き込みません。\nリンクを"
               "取り除くか、ゲームをインストールし直してから、もう一度アップデートしてください。",
               what);
        break;
    }
    case StopElevationDeclined:
        Format(text,
               "%s を更新できませんでした。\nこのファイルを書き換えるには管理者の権限が必要ですが、"
               "許可されませんでした。\nもう一度アップデートし、ユーザー アカウント制御の確認で"
               "［はい］を選んでください。",
               name);
        break;
    default:
        if (name[0] != L'\0')
            Format(text,
                   "%s を更新できませんでした。\nシステムのエラー コード %lu が返されました。",
                   name, report.error);
        else
            Format(text,
                   "アップデートできませんでした。\nシステムのエラー コード %lu が返されました。",
                   report.error);
        break;
    }
}

void DescribeStop(const PassReport &report, const wchar_t *installFolder, wchar_t *text,
                  int capacity, bool elevatedCopy)
{
    // A listed name, or the product's folder name, which may be longer.
    wchar_t name[PathFieldCapacity];
    WideDisplayName(name, PathFieldCapacity, report.name != nullptr ? report.name : "");
    wchar_t cause[ScreenTextCapacity];
    DescribeCause(report, name, installFolder, elevatedCopy, cause);
    const char *outcome = "";
    if (!report.question && !report.unchanged)
        outcome = "\n\nアップデートを中止しましたが、一部のファイルを元に戻せませんでした。もう一度"
                  "アップデートしてください。";
    else if (!report.question && report.undidInterrupted)
        outcome = "\n\nアップデートを中止しました。前回途中で終わったアップデートは取り消し、"
                  "インストール先のファイルはすべてその前の状態に戻しました。";
    else if (!report.question)
        outcome =
            "\n\nアップデートを中止しました。インストール先のファイルは何も変更されていません。";
    wchar_t wideOutcome[ScreenTextCapacity];
    ToScreenText(outcome, wideOutcome, ScreenTextCapacity);
    lstrcpynW(text, cause, capacity);
    int length = lstrlenW(text);
    lstrcpynW(text + length, wideOutcome, capacity - length);
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
    ToScreenText(text, screenText, ScreenTextCapacity);
    return ShowScreenMessage(owner, screenText, caption, flags);
}

int ShowScreenMessage(HWND owner, const wchar_t *text, const char *caption, UINT flags)
{
    wchar_t screenCaption[64];
    ToScreenText(caption, screenCaption, 64);
    return MessageBoxW(owner, text, screenCaption, flags);
}
