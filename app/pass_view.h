// The update pass as the dialog shows it: progress in the prompt, the question after a stop,
// and a window that keeps answering while the pass runs on the dialog's thread.
#pragma once

#include <windows.h>

// The one argument the tool reads: given to the copy it starts through the elevation prompt,
// which runs the pass at once and never starts another.
extern const wchar_t ElevatedArgument[];
extern bool ElevatedCopy;

// Runs the pass of the engine under the dialog, which stays disabled throughout; the exit
// code of the tool, which is the elevated copy's where one ran the pass.
int RunPassInDialog(HWND dialog, HWND prompt);
// While it runs, close requests and the end of the session are refused.
bool PassRunning();
