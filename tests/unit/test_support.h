// Shared helpers for the unit tests: a fresh folder per test, and small tree builders and readers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "mirror/run.h"

namespace twinfold::test {

namespace fs = std::filesystem;

// Path as the engine takes it (wide text, lossless for any POSIX name).
std::wstring Wide(const fs::path& path);
fs::path FromWide(const std::wstring& path);

// What a tree holds, by relative path with '/' as separator: "d" for a directory, "l:<target>" for
// a symbolic link, otherwise the file's content.
using TreeListing = std::map<std::string, std::string>;
TreeListing ListTree(const fs::path& root);

// Each test gets a fresh, empty folder under the system's temporary folder, removed afterwards.
// The helpers refuse to touch anything outside it.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    fs::path Path(const std::string& relative) const;  // below the test folder
    std::wstring WPath(const std::string& relative) const { return Wide(Path(relative)); }
    void MakeDir(const std::string& relative) const;    // with missing parents
    void WriteFile(const std::string& relative, const std::string& content) const;  // with missing parents
    std::string ReadFile(const std::string& relative) const;
    bool Exists(const std::string& relative) const;     // without following a final link

    fs::path root_;
};

// For tests of the passes: the shared cancel flag starts and ends clear, and no fault rule outlives
// its test.
class PassTest : public TempDirTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // The run the test's passes share, as a job's passes share one.
    RunContext& PassRun() { return *run_; }
    std::optional<RunFailure> FirstFailure() const { return run_->Failure(); }
    // A fresh run, with no failure yet.
    void ClearRunFailure() { run_ = std::make_unique<RunContext>(); }

private:
    std::unique_ptr<RunContext> run_ = std::make_unique<RunContext>();
};

// True when the platform lets this process create symbolic links.
bool SymlinksSupported(const fs::path& scratchDir);

}  // namespace twinfold::test
