// The unattended command-line decision. The input is split on newlines into an argument list (and,
// in one mode, a separate command text); the decision must never crash, must be a function of its
// input, and any job it returns must come from the arguments in the places the usage names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "app/unattended.h"
#include "platform/posix_text.h"

namespace {

bool Contains(const std::wstring& text, const wchar_t* word) { return text.find(word) != std::wstring::npos; }

// The path part of a keyed argument: everything after the seven characters of "SrcDir=" or "DstDir=".
std::wstring AfterKey(const std::wstring& argument) { return argument.size() > 7 ? argument.substr(7) : std::wstring(); }


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    const bool ownCommandText = (mode & 1) != 0;  // else joined from the arguments, as main() does
    const bool utf16 = (mode & 2) != 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);

    std::vector<std::wstring> fields;
    for (std::size_t start = 0;;) {
        const std::size_t end = rest.find('\n', start);
        fields.push_back(FuzzText(rest.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start), utf16));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }

    std::wstring commandText;
    std::vector<std::wstring> args;
    if (ownCommandText) {
        commandText = fields.front();
        args.assign(fields.begin() + 1, fields.end());
    } else {
        args = fields;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (i > 1) commandText.push_back(L' ');
            commandText += args[i];
        }
    }

    const std::optional<UnattendedJob> job = ParseUnattendedCommandLine(commandText, args);

    // A pure decision: the same command line gives the same answer.
    const std::optional<UnattendedJob> again = ParseUnattendedCommandLine(commandText, args);
    FUZZ_REQUIRE(job.has_value() == again.has_value());
    if (job) {
        FUZZ_REQUIRE(job->srcRoot == again->srcRoot && job->dstRoot == again->dstRoot &&
                job->runDeletePass == again->runDeletePass);
    }

    const bool selected = Contains(commandText, L"unattended") && args.size() >= 4 && Contains(args[2], L"SrcDir=") &&
                          Contains(args[3], L"DstDir=");
    FUZZ_REQUIRE(job.has_value() == selected);
    if (!job) return 0;

    FUZZ_REQUIRE(job->srcRoot == AfterKey(args[2]));
    FUZZ_REQUIRE(job->dstRoot == AfterKey(args[3]));
    // The usual form, key in front: the path is exactly what follows it, never trimmed or changed.
    if (args[2].compare(0, 7, L"SrcDir=") == 0) FUZZ_REQUIRE(L"SrcDir=" + job->srcRoot == args[2]);
    if (args[3].compare(0, 7, L"DstDir=") == 0) FUZZ_REQUIRE(L"DstDir=" + job->dstRoot == args[3]);
    // The paths are parts of their own arguments, never of a neighbour.
    FUZZ_REQUIRE(args[2].size() >= job->srcRoot.size() &&
            args[2].compare(args[2].size() - job->srcRoot.size(), job->srcRoot.size(), job->srcRoot) == 0);
    FUZZ_REQUIRE(args[3].size() >= job->dstRoot.size() &&
            args[3].compare(args[3].size() - job->dstRoot.size(), job->dstRoot.size(), job->dstRoot) == 0);
    // Only a fourth option naming NoDelete skips the delete pass.
    FUZZ_REQUIRE(job->runDeletePass == !(args.size() >= 5 && Contains(args[4], L"NoDelete")));
    return 0;
}
