#include "tests/unit/test_support.h"

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "mirror/failure.h"
#include "mirror/passes.h"

#ifndef _WIN32
#include "platform/fault.h"
#include "platform/posix_text.h"
#endif

namespace twinfold::test {

std::wstring Wide(const fs::path& path) {
#ifdef _WIN32
    return path.wstring();
#else
    return WideFromBytes(path.native());
#endif
}

fs::path FromWide(const std::wstring& path) {
#ifdef _WIN32
    return fs::path(path);
#else
    return fs::path(BytesFromWide(path));
#endif
}

TreeListing ListTree(const fs::path& root) {
    TreeListing listing;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(root, ec))) return listing;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path& p = it->path();
        // Lexically: fs::relative would resolve a link to where it leads, or fail on a link loop.
        std::string rel = p.lexically_relative(root).generic_string();
        auto status = fs::symlink_status(p);
        if (fs::is_symlink(status)) {
            listing[rel] = "l:" + fs::read_symlink(p).generic_string();
        } else if (fs::is_directory(status)) {
            listing[rel] = "d";
        } else {
            std::ifstream in(p, std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            listing[rel] = content.str();
        }
    }
    return listing;
}

void TempDirTest::SetUp() {
    std::random_device rd;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("twinfold-") + info->test_suite_name() + "-" + info->name() + "-" +
                       std::to_string(rd());
    for (char& c : name) {
        if (c == '/' || c == '\\') c = '_';
    }
    root_ = fs::temp_directory_path() / name;
    fs::remove_all(root_);
    fs::create_directories(root_);
}

void TempDirTest::TearDown() {
    std::error_code ec;
    // Restore permissions a test may have taken away, then remove everything.
    if (fs::exists(root_, ec)) {
        for (auto it = fs::recursive_directory_iterator(root_, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (!fs::is_symlink(it->symlink_status(ec)))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
    }
    fs::remove_all(root_, ec);
}

fs::path TempDirTest::Path(const std::string& relative) const {
    if (relative.find("..") != std::string::npos) throw std::invalid_argument("test path leaves its folder");
    return relative.empty() ? root_ : root_ / relative;
}

void TempDirTest::MakeDir(const std::string& relative) const { fs::create_directories(Path(relative)); }

void TempDirTest::WriteFile(const std::string& relative, const std::string& content) const {
    fs::path p = Path(relative);
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write test file " + p.string());
}

std::string TempDirTest::ReadFile(const std::string& relative) const {
    std::ifstream in(Path(relative), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool TempDirTest::Exists(const std::string& relative) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(Path(relative), ec));
}

void PassTest::SetUp() {
    TempDirTest::SetUp();
    g_cancelRequested = false;
    ClearRunFailure();
}

void PassTest::TearDown() {
#ifndef _WIN32
    fault::Clear();
#endif
    g_cancelRequested = false;
    ClearRunFailure();
    TempDirTest::TearDown();
}

bool SymlinksSupported(const fs::path& scratchDir) {
    std::error_code ec;
    fs::path link = scratchDir / ".symlink-probe";
    fs::create_symlink(scratchDir, link, ec);
    if (ec) return false;
    fs::remove(link, ec);
    return true;
}

}  // namespace twinfold::test
