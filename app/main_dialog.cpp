// The main dialog and the interactive run.
//
// How the program ends:
//   - Exit or Escape with no job running, and the close box with no job running: EndProgram posts
//     the quit message; the modal loop ends, RunInteractive drains the queue, releases COM and
//     g_ini, and returns 0.
//   - Exit or Escape during a job: only g_cancelRequested is set. The worker stops at its next
//     check and posts kJobEndedMessage; FinishJob returns the dialog to Idle. Nothing ends.
//   - The close box during a job: EndProgram cancels the job (button "Cancelling..."), marks the
//     program as ending (s_ending: no new job may start), and waits in PumpUntilMirrorThreadEnds,
//     which keeps the dialog answering and closes a result box the worker shows. Once
//     the worker has ended, FinishJob releases it and the quit message is posted as above. The
//     worker is never killed: the file operation it is in finishes, and g_ini outlives its last use.
#include "app/main_dialog.h"

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include <cwchar>
#include <string>

#include "app/mirror_job.h"
#include "mirror/passes.h"
#include "res/resource.h"
#include "settings/ini.h"

CIni* g_ini = nullptr;
HWND g_hMainDlg = nullptr;
wchar_t g_iniPath[kIniPathLength];
std::atomic<bool> g_jobRunning{false};

namespace {

// Set once the program has been asked to end while a job ran; no new job may start after it.
bool s_ending = false;

void SetButton(HWND dialog, int id, const wchar_t* text, bool enabled) {
    if (text != nullptr) SetDlgItemTextW(dialog, id, text);
    EnableWindow(GetDlgItem(dialog, id), enabled ? TRUE : FALSE);
}

// The title bar and Alt+Tab show the program's own icon, each at the size the system draws it.
void ShowProgramIcon(HWND dialog) {
    const HINSTANCE module = GetModuleHandleW(nullptr);
    const struct {
        WPARAM which;
        int width, height;
    } kSizes[] = {{ICON_SMALL, SM_CXSMICON, SM_CYSMICON}, {ICON_BIG, SM_CXICON, SM_CYICON}};
    for (const auto& size : kSizes) {
        // Shared: the system keeps one copy and frees it with the program.
        const HANDLE icon = LoadImageW(module, MAKEINTRESOURCEW(IDI_TWINFOLD), IMAGE_ICON,
                                       GetSystemMetrics(size.width), GetSystemMetrics(size.height), LR_SHARED);
        if (icon != nullptr) SendMessageW(dialog, WM_SETICON, size.which, reinterpret_cast<LPARAM>(icon));
    }
}

void OpenDialog(HWND dialog) {
    ShowProgramIcon(dialog);
    g_iniPath[0] = L'\0';
    const DWORD length = GetModuleFileNameW(GetModuleHandleW(nullptr), g_iniPath, kIniPathLength);
    if (length == 0 || length >= static_cast<DWORD>(kIniPathLength)) g_iniPath[0] = L'\0';
    StripFileName();
    const std::size_t folderLength = std::wcslen(g_iniPath);
    const std::size_t nameLength = std::wcslen(kSettingsFileName);
    // Without a known folder the settings would land in whatever the current folder is: go without.
    if (folderLength > 0 && folderLength + nameLength < static_cast<std::size_t>(kIniPathLength)) {
        std::wmemcpy(g_iniPath + folderLength, kSettingsFileName, nameLength + 1);
        g_ini = new CIni(g_iniPath);
        StripFileName();
    }
    SetDlgItemTextW(dialog, IDC_SRC_EDIT, g_iniPath);
    SetDlgItemTextW(dialog, IDC_DST_EDIT, g_iniPath);
    bool deleteOption = true;
    if (g_ini != nullptr) {
        if (g_ini->GetString(kSectionDirectories, kKeySrc, g_iniPath, kIniPathLength, g_iniPath) != 0) {
            SetDlgItemTextW(dialog, IDC_SRC_EDIT, g_iniPath);
        }
        if (g_ini->GetString(kSectionDirectories, kKeyDst, g_iniPath, kIniPathLength, g_iniPath) != 0) {
            SetDlgItemTextW(dialog, IDC_DST_EDIT, g_iniPath);
        }
        deleteOption = g_ini->GetBool(kSectionOptions, kKeyDeleteOption);
    }
    SendDlgItemMessageW(dialog, IDC_DELETE_CHECK, BM_SETCHECK, deleteOption ? BST_CHECKED : BST_UNCHECKED, 0);
}

// The whole text of a field: a path cut to a fixed length could name some other folder.
std::wstring FieldText(HWND dialog, int id) {
    const LRESULT length = SendDlgItemMessageW(dialog, id, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT copied = SendDlgItemMessageW(dialog, id, WM_GETTEXT, static_cast<WPARAM>(text.size()),
                                               reinterpret_cast<LPARAM>(&text[0]));
    text.resize(static_cast<std::size_t>(copied));
    return text;
}

void StartJob(HWND dialog) {
    if (s_ending) return;
    DialogJob job;
    job.src = FieldText(dialog, IDC_SRC_EDIT);
    job.dst = FieldText(dialog, IDC_DST_EDIT);
    job.deleteOption = SendDlgItemMessageW(dialog, IDC_DELETE_CHECK, BM_GETCHECK, 0, 0) == BST_CHECKED;
    g_jobRunning = true;
    g_cancelRequested = false;
    if (!StartMirrorThread(dialog, job)) {
        g_jobRunning = false;
        MessageBoxW(dialog, L"The job could not be started: the system refused to create its thread.",
                    kJobNotStartedCaption, MB_OK | MB_ICONERROR);
    }
}

void RequestCancel(HWND dialog) {
    g_cancelRequested = true;
    SetButton(dialog, IDOK, L"Cancelling...", false);
}

// Both flags and both buttons change together, so no command can meet a job half ended.
void FinishJob(HWND dialog) {
    MSG stale;
    while (PeekMessageW(&stale, dialog, kJobEndedMessage, kJobEndedMessage, PM_REMOVE)) {
    }
    if (!g_jobRunning) return;
    g_cancelRequested = false;
    g_jobRunning = false;
    SetButton(dialog, IDOK, L"Go", true);
    SetButton(dialog, IDCANCEL, nullptr, true);
    ReleaseMirrorThread();
}

// Ends the program; during a job (the close box), only once the worker has ended.
void EndProgram(HWND dialog) {
    if (g_jobRunning) {
        RequestCancel(dialog);
        if (s_ending) return;  // already waiting further up this thread's stack
        s_ending = true;
        PumpUntilMirrorThreadEnds(dialog);
        FinishJob(dialog);
    }
    s_ending = true;
    PostQuitMessage(0);
}

void Browse(HWND dialog, int fieldId) {
    BROWSEINFOW info = {};
    info.hwndOwner = nullptr;
    info.pidlRoot = nullptr;
    info.pszDisplayName = g_iniPath;
    info.lpszTitle = L"Please Choose Folder...";
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    info.lpfn = BrowseCallbackProc;
    info.lParam = reinterpret_cast<LPARAM>(g_iniPath);
    info.iImage = 0;
    LPITEMIDLIST chosen = SHBrowseForFolderW(&info);
    if (chosen == nullptr) return;
    const bool isFolder = SHGetPathFromIDListW(chosen, g_iniPath) != FALSE;
    CoTaskMemFree(chosen);
    if (isFolder) SetDlgItemTextW(dialog, fieldId, g_iniPath);
}

void OnCommand(HWND dialog, int command) {
    switch (command) {
        case IDOK:
            if (g_jobRunning) {
                RequestCancel(dialog);
            } else {
                StartJob(dialog);
            }
            break;
        case IDCANCEL:
            // Exit (or Escape) during a job only asks the job to stop: the dialog stays, unchanged,
            // and returns to Idle when the job has ended. With no job it ends the program.
            if (g_jobRunning) {
                g_cancelRequested = true;
            } else {
                EndProgram(dialog);
            }
            break;
        case IDC_SRC_BROWSE:
            Browse(dialog, IDC_SRC_EDIT);
            break;
        case IDC_DST_BROWSE:
            Browse(dialog, IDC_DST_EDIT);
            break;
        default:
            break;
    }
}

}  // namespace

void StripFileName() {
    wchar_t* lastSeparator = std::wcsrchr(g_iniPath, L'\\');
    if (lastSeparator != nullptr) lastSeparator[1] = L'\0';
}

int CALLBACK BrowseCallbackProc(HWND browser, UINT message, LPARAM, LPARAM data) {
    if (message == BFFM_INITIALIZED && data != 0) SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, data);
    return 0;
}

INT_PTR CALLBACK MainDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            OpenDialog(dialog);
            return TRUE;
        case WM_COMMAND:
            OnCommand(dialog, LOWORD(wParam));
            return FALSE;
        case kJobRunningMessage:
            // A cancel pressed before the worker got here keeps its "Cancelling..." button.
            if (!g_cancelRequested) SetButton(dialog, IDOK, L"Cancel", true);
            SetButton(dialog, IDCANCEL, nullptr, false);
            return TRUE;
        case kJobEndedMessage:
            FinishJob(dialog);
            return TRUE;
        case WM_CLOSE:
            EndProgram(dialog);
            return FALSE;
        case WM_DESTROY:
            PostQuitMessage(0);
            return FALSE;
        default:
            return FALSE;
    }
}

int RunInteractive(HINSTANCE instance) {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_BAR_CLASSES;
    InitCommonControlsEx(&controls);
    // The new-style folder browser needs a single-threaded apartment on the thread that calls it.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    const INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDlgProc, 0);
    g_hMainDlg = reinterpret_cast<HWND>(result);
    // The quit message that ended the dialog is normally still queued; the queue is drained up to it
    // without blocking, so a dialog that never opened cannot leave the program waiting forever.
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) && message.message != WM_QUIT) {
        if (!IsDialogMessageW(g_hMainDlg, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    ReleaseMirrorThread();  // none is left: the dialog only ends once its job has ended

    if (SUCCEEDED(com)) CoUninitialize();
    delete g_ini;
    g_ini = nullptr;
    return 0;
}
