// Entry of the command-line program on POSIX systems, which have no dialog: a command line that
// does not select unattended mode prints the usage and ends with exit code 2.
#include <cstdio>
#include <string>
#include <vector>

#include "app/unattended.h"
#include "platform/posix_text.h"

namespace {

const char kUsage[] =
    "usage: twinfold unattended SrcDir=<source folder> DstDir=<destination folder> [NoDelete]\n"
    "Mirrors the source folder onto the destination folder. Without NoDelete, destination entries\n"
    "that the source lacks are deleted. Exit code 0: mirrored; 1: a file operation failed or the\n"
    "folders were refused; 2: this usage text.\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::wstring> args;
    std::wstring commandText;
    for (int i = 0; i < argc; ++i) {
        args.push_back(twinfold::WideFromBytes(argv[i]));
        if (i >= 1) {
            if (i > 1) commandText.push_back(L' ');
            commandText += args.back();
        }
    }

    std::optional<UnattendedJob> job = ParseUnattendedCommandLine(commandText, args);
    if (!job) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    UnattendedResult result = RunUnattended(*job);
    if (result.roots != RootsCheck::ok)
        std::fprintf(stderr, "twinfold: %s\n", twinfold::BytesFromWide(DescribeRootsCheck(result.roots)).c_str());
    return result.exitCode;
}
