#include "mirror/landing.h"

#include <cwchar>
#include <functional>
#include <new>

#include "mirror/folder_removal.h"
#include "mirror/shell_op.h"
#include "platform/win32.h"

namespace {

// Removes what a failed copy left under a temporary name: a folder with everything in it, or one
// file. Nothing is reported: the copy has failed already, and a leftover is an extra entry that the
// next delete pass removes. It runs on the way out of failures, out of memory included, so it never
// throws itself.
void RemoveTemporary(const std::wstring& path) {
    try {
        WIN32_FIND_DATAW found;
        if (!LookUpEntry(path, found)) return;
        if (twinfold::IsLinkRecord(found.dwFileAttributes, found.dwReserved0)) {
            twinfold::RemoveLink(path, found.dwFileAttributes);
            return;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveFolder(path);
            return;
        }
        // A copy of a read-only file is read-only too, and Windows refuses to delete such a file.
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    } catch (const std::bad_alloc&) {
        // Left as an extra entry, which the next delete pass removes.
    }
}

bool IsMissingPath(DWORD error) { return error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND; }

bool NameTaken(DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }

// The reason of a failure that the program finds itself, such as no free temporary name.
twinfold::SystemError ErrorOf(DWORD code) {
    SetLastError(code);
    return twinfold::LastSystemError();
}

// Moves a finished temporary entry to its final name, over a read-only file there too. False with
// the reason in GetLastError().
bool MoveIntoPlace(const std::wstring& temporary, const std::wstring& dst, DWORD flags) {
    const auto move = [&] { return MoveFileExW(temporary.c_str(), dst.c_str(), flags) != FALSE; };
    for (int attempt = 0;; ++attempt) {
        if ((flags & MOVEFILE_REPLACE_EXISTING) ? EvenIfReadOnly(dst, move) : move()) return true;
#ifdef _WIN32
        // A scanner that opened the new copy to look at it blocks a rename for a moment.
        const DWORD error = GetLastError();
        if ((error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) && attempt < 5) {
            Sleep(20u << attempt);
            continue;
        }
#endif
        (void)attempt;
        return false;
    }
}

constexpr int kNameAttempts = 8;

}  // namespace

std::wstring TemporaryPathBeside(const std::wstring& finalPath) {
    const size_t separator = finalPath.rfind(twinfold::kPathSeparator);
    std::wstring path = separator == std::wstring::npos ? std::wstring() : finalPath.substr(0, separator + 1);
    return path + twinfold::TemporaryName();
}

bool IsTemporaryName(const std::wstring& name) {
    return name.compare(0, std::wcslen(twinfold::kTemporaryPrefix), twinfold::kTemporaryPrefix) == 0;
}

Made MadeBy(bool made) {
    if (made) return Made::done;
    return NameTaken(GetLastError()) ? Made::nameTaken : Made::failed;
}

StepError PrepareTemporary(const std::wstring& dst, const std::function<Made(const std::wstring&)>& make,
                           std::wstring& temporary) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        temporary = TemporaryPathBeside(dst);
        const Made made = make(temporary);
        if (made == Made::done) return std::nullopt;
        if (made == Made::nameTaken) continue;  // someone else's entry: never touched
        const twinfold::SystemError error = twinfold::LastSystemError();
        RemoveTemporary(temporary);
        temporary.clear();
        return error;
    }
    temporary.clear();
    return ErrorOf(ERROR_FILE_EXISTS);
}

MaybeFailure PrepareCopy(const std::wstring& src, const std::wstring& dst, Landing landing, Silent silent,
                         std::wstring& temporary) {
    StepError error;
    if (landing == Landing::replacing) {
        error = PrepareTemporary(
            dst, [&](const std::wstring& name) { return MadeBy(CopyFileW(src.c_str(), name.c_str(), TRUE) != FALSE); },
            temporary);
    } else {
        error = PrepareTemporary(
            dst,
            [&](const std::wstring& name) {
                // The shell would copy into an existing folder, or over an existing file: the name must be free.
                WIN32_FIND_DATAW found;
                if (LookUpEntry(name, found)) return Made::nameTaken;
                return ShellCopy(src, name, silent) ? Made::done : Made::failed;
            },
            temporary);
    }
    if (!error) return std::nullopt;
    return SystemFailure(FailedOperation::copy, src, dst, *error);
}

MaybeFailure PlacePrepared(const std::wstring& src, const std::wstring& temporary, const std::wstring& dst,
                           Landing landing) {
    if (MoveIntoPlace(temporary, dst, landing == Landing::replacing ? MOVEFILE_REPLACE_EXISTING : 0)) {
        return std::nullopt;
    }
    RunFailure failure = SystemFailure(FailedOperation::copy, src, dst);
    RemoveTemporary(temporary);
    return failure;
}

void DiscardPrepared(const std::wstring& temporary) { RemoveTemporary(temporary); }

MaybeFailure LandReplacement(const std::wstring& src, const std::wstring& dst) {
    std::wstring temporary;
    if (MaybeFailure failure = PrepareCopy(src, dst, Landing::replacing, Silent::yes, temporary)) return failure;
    return PlacePrepared(src, temporary, dst, Landing::replacing);
}

MaybeFailure LandMissing(const std::wstring& src, const std::wstring& dst, Silent silent) {
    std::wstring temporary;
    if (MaybeFailure failure = PrepareCopy(src, dst, Landing::missing, silent, temporary)) return failure;
    return PlacePrepared(src, temporary, dst, Landing::missing);
}

bool CreateParentFolders(const std::wstring& path) {
    const size_t separator = path.rfind(twinfold::kPathSeparator);
    return separator != std::wstring::npos && separator > 0 && twinfold::CreateFolders(path.substr(0, separator));
}

MaybeFailure LandMissingFile(const std::wstring& src, const std::wstring& dst) {
    std::wstring temporary;
    const auto copy = [&](const std::wstring& name) {
        if (CopyFileW(src.c_str(), name.c_str(), TRUE)) return Made::done;
        // Like the shell's copy, this one makes the folders on its way: the destination root itself
        // may not exist yet.
        return MadeBy(IsMissingPath(GetLastError()) && CreateParentFolders(name) &&
                      CopyFileW(src.c_str(), name.c_str(), TRUE));
    };
    if (const StepError error = PrepareTemporary(dst, copy, temporary)) {
        return SystemFailure(FailedOperation::copy, src, dst, *error);
    }
    return PlacePrepared(src, temporary, dst, Landing::missing);
}

MaybeFailure RenameInPlace(const std::wstring& from, const std::wstring& to) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::wstring aside = TemporaryPathBeside(to);
        if (!MoveIntoPlace(from, aside, 0)) {
            if (NameTaken(GetLastError())) continue;
            return SystemFailure(FailedOperation::rename, from, to);
        }
        if (MoveIntoPlace(aside, to, 0)) return std::nullopt;
        RunFailure failure = SystemFailure(FailedOperation::rename, from, to);
        MoveIntoPlace(aside, from, 0);  // back under its old name
        return failure;
    }
    return SystemFailure(FailedOperation::rename, from, to, ErrorOf(ERROR_FILE_EXISTS));
}

namespace {

// Puts the finished link `temporary` in place of the entry at `dst`. A rename replaces a file or a
// link to a file; Windows refuses to rename over a folder entry, so a link to a folder is first
// moved aside and removed once the new one stands in its place.
StepError ReplaceWithLink(const std::wstring& temporary, const std::wstring& dst) {
    if (MoveIntoPlace(temporary, dst, MOVEFILE_REPLACE_EXISTING)) return std::nullopt;
    const twinfold::SystemError refused = twinfold::LastSystemError();
    WIN32_FIND_DATAW old;
    if (!LookUpEntry(dst, old) || !twinfold::IsLinkRecord(old.dwFileAttributes, old.dwReserved0) ||
        !(old.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return refused;
    }
    const std::wstring aside = TemporaryPathBeside(dst);
    if (!MoveIntoPlace(dst, aside, 0)) return twinfold::LastSystemError();
    if (!MoveIntoPlace(temporary, dst, 0)) {
        const twinfold::SystemError error = twinfold::LastSystemError();
        MoveIntoPlace(aside, dst, 0);  // the old link back where it was
        return error;
    }
    // The new link is in place; an old one that cannot be removed is an extra entry from now on.
    twinfold::RemoveLink(aside, old.dwFileAttributes);
    return std::nullopt;
}

}  // namespace

MaybeFailure LandLink(const std::wstring& src, const std::wstring& dst, Landing landing) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::wstring temporary = TemporaryPathBeside(dst);
        bool made = twinfold::CopyLink(src, temporary);
        if (!made && IsMissingPath(GetLastError())) {
            // Like the other copies, a link's copy makes the folders on its way.
            made = CreateParentFolders(dst) && twinfold::CopyLink(src, temporary);
        }
        if (!made) {
            if (NameTaken(GetLastError())) continue;
            RunFailure failure = SystemFailure(FailedOperation::copy, src, dst);
            RemoveTemporary(temporary);
            return failure;
        }
        StepError error;
        try {
            if (landing == Landing::replacing) {
                error = ReplaceWithLink(temporary, dst);
            } else if (!MoveIntoPlace(temporary, dst, 0)) {
                error = twinfold::LastSystemError();
            }
        } catch (const std::bad_alloc&) {
            RemoveTemporary(temporary);  // the one thing made so far
            throw;
        }
        if (!error) return std::nullopt;
        RemoveTemporary(temporary);
        return SystemFailure(FailedOperation::copy, src, dst, *error);
    }
    return SystemFailure(FailedOperation::copy, src, dst, ErrorOf(ERROR_FILE_EXISTS));
}
