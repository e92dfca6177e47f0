// Entry of the command-line program on POSIX systems, which have no dialog: the command line is read
// strictly (anything unexpected prints the usage and ends with exit code 2), and a failed run says
// why in one line on standard error.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/unattended.h"
#include "mirror/failure.h"
#include "platform/posix_text.h"

namespace {

const char kUsage[] =
    "usage: twinfold unattended SrcDir=<source folder> DstDir=<destination folder> [NoDelete]\n"
    "       twinfold --help | --version\n"
    "Mirrors the source folder onto the destination folder. Without NoDelete, destination entries\n"
    "that the source lacks are deleted. Exit code 0: mirrored; 1: a file operation failed or the\n"
    "folders were refused (the reason is printed); 2: this usage text.\n";

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
    const UnattendedResult result = RunUnattended(line.job);
    if (result.exitCode != 0) {
        const std::optional<RunFailure> failure = FirstFailure();
        // Every failure is meant to be noted; a run that failed without one still must not end in silence.
        const std::wstring text = failure ? DescribeFailure(*failure) : L"the mirror stopped before its end";
        std::fprintf(stderr, "twinfold: %s\n", twinfold::BytesFromWide(text).c_str());
    }
    return result.exitCode;
}
