// The main dialog, "Clone Directory", and the interactive run around it (Windows only).
#pragma once

#include <atomic>

#include "platform/win32.h"

class CIni;

// Longest path Windows can name. The settings path and the folder browser share this buffer, so a
// program folder deeper than MAX_PATH is kept whole instead of being cut into some other folder.
inline constexpr int kIniPathLength = 32768;

extern CIni* g_ini;               // the settings; lives from the dialog's opening to the end of the run
extern HWND g_hMainDlg;           // the dialog call's result, written once the dialog has ended
extern wchar_t g_iniPath[kIniPathLength];
extern std::atomic<bool> g_jobRunning;  // written on the dialog thread only

// Registers the common controls, runs the dialog modally and cleans up. Always returns 0.
int RunInteractive(HINSTANCE instance);

INT_PTR CALLBACK MainDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
int CALLBACK BrowseCallbackProc(HWND browser, UINT message, LPARAM lParam, LPARAM data);

// Cuts g_iniPath after its last backslash, which stays; no backslash or no text: no change.
void StripFileName();
