#include "app/mirror_job.h"

#include <process.h>

#include <atomic>
#include <cstdint>
#include <cwchar>
#include <new>
#include <string>

#include "app/job.h"
#include "app/main_dialog.h"
#include "mirror/passes.h"
#include "mirror/roots.h"
#include "mirror/verify.h"
#include "res/resource.h"
#include "settings/ini.h"

namespace {

HANDLE s_thread = nullptr;
unsigned s_threadId = 0;
// Set while the worker waits in a message box of its own, which an ending program may close.
std::atomic<bool> s_workerInMessageBox{false};

// The whole text of a field: a path cut to a fixed length could name some other folder.
std::wstring ReadField(HWND dialog, int id) {
    const LRESULT length = SendDlgItemMessageW(dialog, id, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT copied = SendDlgItemMessageW(dialog, id, WM_GETTEXT, static_cast<WPARAM>(text.size()),
                                               reinterpret_cast<LPARAM>(&text[0]));
    text.resize(static_cast<std::size_t>(copied));
    return text;
}

void StoreSetting(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    // Without a settings file (its path could not be formed) the job simply runs unrecorded.
    if (g_ini != nullptr) WritePrivateProfileStringW(section, key, value, g_ini->Path().c_str());
}

void ShowWorkerMessage(const wchar_t* text, const wchar_t* caption, UINT icon) {
    s_workerInMessageBox = true;
    MessageBoxW(g_hMainDlg, text, caption, MB_OK | icon);
    s_workerInMessageBox = false;
}

BOOL CALLBACK CloseWorkerMessageBox(HWND window, LPARAM) {
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (std::wcscmp(className, L"#32770") == 0) PostMessageW(window, WM_COMMAND, IDOK, 0);
    return TRUE;
}

}  // namespace

unsigned __stdcall MirrorThreadProc(void* dialogArgument) {
    HWND dialog = static_cast<HWND>(dialogArgument);
    const std::wstring src = ReadField(dialog, IDC_SRC_EDIT);
    const std::wstring dst = ReadField(dialog, IDC_DST_EDIT);
    StoreSetting(kSectionDirectories, kKeySrc, src.c_str());
    StoreSetting(kSectionDirectories, kKeyDst, dst.c_str());
    const bool deleteOption = SendDlgItemMessageW(dialog, IDC_DELETE_CHECK, BM_GETCHECK, 0, 0) > 0;
    wchar_t optionText[65];
    std::swprintf(optionText, 65, L"%d", deleteOption ? 1 : 0);
    StoreSetting(kSectionOptions, kKeyDeleteOption, optionText);
    SendMessageW(dialog, kJobRunningMessage, 0, 0);

    const MirrorJobResult result = RunMirrorJob({src, dst, deleteOption, Silent::no});
    if (result.roots != RootsCheck::ok) {
        ShowWorkerMessage(DescribeRootsCheck(result.roots), kJobNotStartedCaption, MB_ICONWARNING);
    } else if (!g_cancelRequested) {
        wchar_t text[kResultTextLength];
        bool verified = false;
        bool totalled = false;
        try {
            verified = VerifyMirror(src.c_str(), dst.c_str(), text, kResultTextLength);
            totalled = true;
        } catch (const std::bad_alloc&) {
            // Out of memory while totalling the trees: the job ends as a failed one, without a result.
        }
        if (totalled && verified) {
            ShowWorkerMessage(text, L"Operation Successful!", MB_ICONINFORMATION);
        } else if (totalled) {
            ShowWorkerMessage(text, L"Operation Failed!", MB_ICONERROR);
        }
    }
    PostMessageW(dialog, kJobEndedMessage, 0, 0);
    return 0;
}

bool StartMirrorThread(HWND dialog) {
#ifdef TWINFOLD_TEST_REFUSE_THREADS
    // Test build only: the UI tests use it to see how the dialog copes when no thread can be made.
    (void)dialog;
    return false;
#else
    const std::uintptr_t thread = _beginthreadex(nullptr, 0, MirrorThreadProc, dialog, 0, &s_threadId);
    s_thread = reinterpret_cast<HANDLE>(thread);
    return thread != 0;
#endif
}

void PumpUntilMirrorThreadEnds(HWND dialog) {
    bool quitSeen = false;
    int quitCode = 0;
    // s_thread is read afresh on every round: a message handled here may have released it already.
    while (s_thread != nullptr) {
        HANDLE thread = s_thread;
        const DWORD woken = MsgWaitForMultipleObjects(1, &thread, FALSE, 100, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) break;
        if (s_workerInMessageBox) EnumThreadWindows(s_threadId, CloseWorkerMessageBox, 0);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quitSeen = true;
                quitCode = static_cast<int>(message.wParam);
                continue;
            }
            if (!IsDialogMessageW(dialog, &message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
    }
    if (quitSeen) PostQuitMessage(quitCode);
}

void ReleaseMirrorThread() {
    if (s_thread == nullptr) return;
    HANDLE thread = s_thread;
    s_thread = nullptr;
    s_threadId = 0;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}
