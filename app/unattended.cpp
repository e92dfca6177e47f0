#include "app/unattended.h"

#include "app/job.h"

namespace {

// The path after a seven-character key ("SrcDir=", "DstDir="), when the argument contains the key.
// The first seven characters are dropped whatever they are, so the key is expected in front.
std::optional<std::wstring> KeyedPath(const std::wstring& argument, const wchar_t* key) {
    if (argument.find(key) == std::wstring::npos) return std::nullopt;
    return argument.size() > 7 ? argument.substr(7) : std::wstring();
}

}  // namespace

std::optional<UnattendedJob> ParseUnattendedCommandLine(const std::wstring& commandText,
                                                        const std::vector<std::wstring>& args) {
    if (commandText.find(L"unattended") == std::wstring::npos) return std::nullopt;
    if (args.size() < 4) return std::nullopt;
    std::optional<std::wstring> src = KeyedPath(args[2], L"SrcDir=");
    std::optional<std::wstring> dst = KeyedPath(args[3], L"DstDir=");
    if (!src || !dst) return std::nullopt;
    UnattendedJob job;
    job.srcRoot = *src;
    job.dstRoot = *dst;
    job.runDeletePass = !(args.size() >= 5 && args[4].find(L"NoDelete") != std::wstring::npos);
    return job;
}

StrictCommandLine ParseStrictCommandLine(const std::vector<std::wstring>& args) {
    StrictCommandLine line;
    if (args.size() == 2 && (args[1] == L"--help" || args[1] == L"-h")) line.request = CommandLineRequest::help;
    if (args.size() == 2 && args[1] == L"--version") line.request = CommandLineRequest::version;
    if (args.size() < 4 || args.size() > 5 || args[1] != L"unattended") return line;
    if (args[2].compare(0, 7, L"SrcDir=") != 0 || args[3].compare(0, 7, L"DstDir=") != 0) return line;
    if (args.size() == 5 && args[4] != L"NoDelete") return line;
    line.request = CommandLineRequest::mirror;
    line.job.srcRoot = args[2].substr(7);
    line.job.dstRoot = args[3].substr(7);
    line.job.runDeletePass = args.size() == 4;
    return line;
}

UnattendedResult RunUnattended(const UnattendedJob& job) {
    const MirrorJobResult result = RunMirrorJob({job.srcRoot, job.dstRoot, job.runDeletePass, Silent::yes});
    return {result.roots != RootsCheck::ok || result.stopped ? 1 : 0, result.roots, result.failure};
}
