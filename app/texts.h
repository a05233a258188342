// Every text the user sees, and the one way it reaches the screen. The texts are CP932 bytes;
// they are shown through the Unicode forms of the system, converted from code page 932, so a
// Windows of any display language shows them as written.
#pragma once

#include "../engine/update_pass.h"

#include <windows.h>

extern const char PromptText[];  // the product title
extern const char CaptionText[]; // the product title
extern const char RefusalMessage[];
extern const char RefusalMessageCaption[];
extern const char CompletionMessage[];
extern const char CompletionMessageCaption[];
extern const char FailureMessageCaption[];
extern const char SessionEndReason[];

enum : int {
    ScreenTextCapacity = 2048,
};

// The prompt while a pass runs: the file in hand, then how far the pass is.
void DescribeProgress(const PassProgress &progress, wchar_t *text, int capacity);
// Why the pass stopped and what to do; installFolder is named where it helps. Composed in
// UTF-16, as folder names may hold any character. The copy started through the elevation
// prompt does not advise running as an administrator.
void DescribeStop(const PassReport &report, const wchar_t *installFolder, wchar_t *text,
                  int capacity, bool elevatedCopy = false);

void ToScreenText(const char *text, wchar_t *screen, int capacity);
void SetScreenText(HWND window, const char *text);
int ShowMessage(HWND owner, const char *text, const char *caption, UINT flags);
int ShowScreenMessage(HWND owner, const wchar_t *text, const char *caption, UINT flags);
