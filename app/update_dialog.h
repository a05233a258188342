#pragma once

#include <windows.h>

INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Where a dialog of width x height lands in the work area: halves rounded towards minus infinity.
POINT CentredOrigin(const RECT &workArea, int width, int height);
