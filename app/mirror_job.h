// The mirror job of the dialog: one worker thread per job, and the dialog thread's hold on it.
#pragma once

#include "platform/win32.h"

#include <string>

// Posted by the worker once it has stored the job's settings: the dialog shows the running state.
inline constexpr UINT kJobRunningMessage = WM_APP + 1;
// Posted by the worker as its very last act: the dialog ends the job in one step.
inline constexpr UINT kJobEndedMessage = WM_APP + 2;

// Caption of the box that refuses a job before any pass has run.
inline constexpr wchar_t kJobNotStartedCaption[] = L"Operation Not Started";

// What the dialog asks of a job, read from its fields on the dialog's own thread when Go is pressed.
struct DialogJob {
    std::wstring src;
    std::wstring dst;
    bool deleteOption = true;
};

// The worker: stores the job's values in the settings, runs the passes, reports the result, and
// tells the dialog by posted messages. Its argument is its own copy of the job and the dialog's
// window (made by StartMirrorThread). Always returns 0.
unsigned __stdcall MirrorThreadProc(void* start);

// Starts MirrorThreadProc on `job` and keeps its handle. False when the system refuses the thread.
bool StartMirrorThread(HWND dialog, const DialogJob& job);

// Handles the dialog thread's messages until the worker has ended; what a result box the worker
// shows asks of its owner, the dialog, is served meanwhile, and the box is closed, since the program
// is ending. Returns at once when no worker was started.
void PumpUntilMirrorThreadEnds(HWND dialog);

// Waits for a worker that has posted kJobEndedMessage (it has only to return) and releases it.
void ReleaseMirrorThread();
