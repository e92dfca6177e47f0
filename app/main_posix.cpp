// Entry of the command-line program on POSIX systems, which have no dialog: the command line is read
// strictly (anything unexpected prints the usage and ends with exit code 2), and a failed run says
// why in one line on standard error.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/unattended.h"
#include "mirror/failure.h"
#include "mirror/passes.h"
#include "platform/posix_stop.h"
#include "platform/posix_text.h"

namespace {

const char kUsage[] =
    "usage: twinfold unattended SrcDir=<source folder> DstDir=<destination folder> [NoDelete]\n"
    "       twinfold --help | --version\n"
    "Mirrors the source folder onto the destination folder. Without NoDelete, destination entries\n"
    "that the source lacks are deleted. Exit code 0: mirrored; 1: a file operation failed or the\n"
    "folders were refused (the reason is printed); 2: this usage text; 129, 130, 143: stopped by\n"
    "SIGHUP, SIGINT or SIGTERM.\n";

// The first of the signals below that arrived, or 0.
volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void RequestStop(int signal) {
    if (g_stopSignal == 0) g_stopSignal = signal;
    // Both are lock-free atomics, which a handler may set.
    g_cancelRequested = true;
    twinfold::g_stopRequested = true;
}

struct StopSignal {
    int number;
    const char* name;
};
constexpr StopSignal kStopSignals[] = {{SIGHUP, "SIGHUP"}, {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}};

// Ctrl-C, kill and a closed terminal stop the run at its next safe point instead of killing it in the
// middle of a copy: the copy being made under a temporary name is removed, and every file of the
// destination is its old version or a complete copy, as after a kill. A signal that was ignored when
// the program started (nohup, a background job of a script) stays ignored.
void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const StopSignal& stop : kStopSignals) {
        struct sigaction before {};
        if (sigaction(stop.number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        sigaction(stop.number, &action, nullptr);
    }
}

const char* SignalName(int number) {
    for (const StopSignal& stop : kStopSignals) {
        if (stop.number == number) return stop.name;
    }
    return "a signal";
}

// Writes the whole of `text` to standard output, as --help and --version do. Output that could not
// be written (a full disk, a closed pipe or descriptor) ends in exit code 1 with the reason, as in
// the GNU tools, instead of passing for success.
int PrintAndExit(const char* text) {
    if (std::fputs(text, stdout) != EOF && std::fflush(stdout) == 0) return 0;
    const int error = errno;
    std::fprintf(stderr, "twinfold: write error: %s\n", std::strerror(error));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::wstring> args;
    for (int i = 0; i < argc; ++i) args.push_back(twinfold::WideFromBytes(argv[i]));

    const StrictCommandLine line = ParseStrictCommandLine(args);
    switch (line.request) {
        case CommandLineRequest::help:
            return PrintAndExit(kUsage);
        case CommandLineRequest::version:
            return PrintAndExit("twinfold " TWINFOLD_VERSION "\n");
        case CommandLineRequest::usage:
            std::fputs(kUsage, stderr);
            return 2;
        case CommandLineRequest::mirror:
            break;
    }
    CatchStopSignals();
    const UnattendedResult result = RunUnattended(line.job);
    if (g_stopSignal != 0) {
        // The failure noted by the copy the signal broke off says nothing the user needs.
        std::fprintf(stderr, "twinfold: stopped by %s; the destination may not be a complete mirror\n",
                     SignalName(g_stopSignal));
        return 128 + g_stopSignal;
    }
    if (result.exitCode != 0) {
        const std::optional<RunFailure>& failure = result.failure;
        // Every failure is meant to be noted; a run that failed without one still must not end in silence.
        const std::wstring text = failure ? DescribeFailure(*failure) : L"the mirror stopped before its end";
        std::fprintf(stderr, "twinfold: %s\n", twinfold::BytesFromWide(text).c_str());
    }
    return result.exitCode;
}
