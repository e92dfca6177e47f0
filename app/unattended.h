// The decision between unattended mode and the interactive program, and the unattended run itself.
// Shared by WinMain and the POSIX main.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "mirror/failure.h"
#include "mirror/roots.h"

struct UnattendedJob {
    std::wstring srcRoot;
    std::wstring dstRoot;
    bool runDeletePass = true;
};

// `commandText` is the command line after the program name; `args` the split command line with the
// program as args[0]. Returns the job when the command line selects unattended mode, or nothing when
// the interactive program (or, without one, the usage text) is meant.
std::optional<UnattendedJob> ParseUnattendedCommandLine(const std::wstring& commandText,
                                                        const std::vector<std::wstring>& args);

// What the strict POSIX command line asks for.
enum class CommandLineRequest {
    mirror,   // `job` holds the folders and the delete option
    help,     // --help or -h: the usage on standard output
    version,  // --version
    usage,    // anything else: the usage as an error, and no pass runs
};

struct StrictCommandLine {
    CommandLineRequest request = CommandLineRequest::usage;
    UnattendedJob job;
};

// The command line of the POSIX program: exactly "unattended", "SrcDir=<folder>", "DstDir=<folder>" and
// optionally "NoDelete" (keys in front, case-sensitive), or one of --help, -h, --version alone.
// A misspelt option never falls back to a run with the delete pass on.
StrictCommandLine ParseStrictCommandLine(const std::vector<std::wstring>& args);

struct UnattendedResult {
    int exitCode;                       // 0: every file operation succeeded; 1: one failed, or the roots were refused
    RootsCheck roots;                   // why no pass ran, when the roots were refused
    std::optional<RunFailure> failure;  // the run's first failure, when it failed
};

// Runs the copy pass and, when asked, the delete pass on the calling thread. Refuses empty and
// overlapping roots without running any pass.
UnattendedResult RunUnattended(const UnattendedJob& job);
