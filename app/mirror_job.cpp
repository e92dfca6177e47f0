#include "app/mirror_job.h"

#include <process.h>

#include <atomic>
#include <cstdint>
#include <cwchar>
#include <memory>
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

// What a worker starts with: its own copy of the job, and the window it reports to.
struct WorkerStart {
    HWND dialog;
    DialogJob job;
};

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

unsigned __stdcall MirrorThreadProc(void* startArgument) {
    const std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(startArgument));
    const HWND dialog = start->dialog;
    const std::wstring& src = start->job.src;
    const std::wstring& dst = start->job.dst;
    StoreSetting(kSectionDirectories, kKeySrc, src.c_str());
    StoreSetting(kSectionDirectories, kKeyDst, dst.c_str());
    wchar_t optionText[65];
    std::swprintf(optionText, 65, L"%d", start->job.deleteOption ? 1 : 0);
    StoreSetting(kSectionOptions, kKeyDeleteOption, optionText);
    PostMessageW(dialog, kJobRunningMessage, 0, 0);

    const MirrorJobResult result = RunMirrorJob({src, dst, start->job.deleteOption, Silent::no});
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

bool StartMirrorThread(HWND dialog, const DialogJob& job) {
#ifdef TWINFOLD_TEST_REFUSE_THREADS
    // Test build only: the UI tests use it to see how the dialog copes when no thread can be made.
    (void)dialog;
    (void)job;
    return false;
#else
    auto start = std::make_unique<WorkerStart>(WorkerStart{dialog, job});
    const std::uintptr_t thread = _beginthreadex(nullptr, 0, MirrorThreadProc, start.get(), 0, &s_threadId);
    s_thread = reinterpret_cast<HANDLE>(thread);
    if (thread == 0) return false;
    start.release();  // the worker's own from now on
    return true;
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
