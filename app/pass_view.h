// The update pass as the dialog shows it: progress in the prompt, the question after a stop,
// and a window that keeps answering while the pass runs on the dialog's thread.
#pragma once

#include <windows.h>

// Runs the pass of the engine under the dialog, which stays disabled throughout.
void RunPassInDialog(HWND dialog, HWND prompt);
// While it runs, close requests and the end of the session are refused.
bool PassRunning();
