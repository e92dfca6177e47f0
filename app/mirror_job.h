// The mirror job of the dialog: one worker thread per job, and the dialog thread's hold on it.
#pragma once

#include "platform/win32.h"

// Sent by the worker once it has read the job's inputs: the dialog shows the running state.
inline constexpr UINT kJobRunningMessage = WM_APP + 1;
// Posted by the worker as its very last act: the dialog ends the job in one step.
inline constexpr UINT kJobEndedMessage = WM_APP + 2;

// Caption of the box that refuses a job before any pass has run.
inline constexpr wchar_t kJobNotStartedCaption[] = L"Operation Not Started";

// The worker: stores the dialog's values in the settings, runs the passes, reports the result.
// `dialog` is the main dialog's window. Always returns 0.
unsigned __stdcall MirrorThreadProc(void* dialog);

// Starts MirrorThreadProc and keeps its handle. False when the system refuses the thread.
bool StartMirrorThread(HWND dialog);

// Handles the dialog thread's messages until the worker has ended; the worker's calls on the
// dialog's controls are served meanwhile. A result box the worker is showing is closed, since the
// program is ending. Returns at once when no worker was started.
void PumpUntilMirrorThreadEnds(HWND dialog);

// Waits for a worker that has posted kJobEndedMessage (it has only to return) and releases it.
void ReleaseMirrorThread();
