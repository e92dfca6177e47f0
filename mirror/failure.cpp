#include "mirror/failure.h"

#include <mutex>

namespace {

std::mutex g_failureMutex;
std::optional<RunFailure> g_firstFailure;

void Keep(RunFailure failure) {
    std::lock_guard<std::mutex> lock(g_failureMutex);
    if (!g_firstFailure) g_firstFailure = std::move(failure);
}

// True when `inner` names an entry strictly below the folder `outer`.
bool LiesBelow(const std::wstring& inner, const std::wstring& outer) {
    return !outer.empty() && inner.size() > outer.size() + 1 && inner.compare(0, outer.size(), outer) == 0 &&
           inner[outer.size()] == twinfold::kPathSeparator;
}

std::wstring Quoted(const std::wstring& path) { return L"'" + path + L"'"; }

}  // namespace

void NoteFailure(FailedOperation operation, const std::wstring& path, const std::wstring& target) {
    RunFailure failure;
    failure.operation = operation;
    failure.path = path;
    failure.target = target;
    failure.error = twinfold::LastSystemError();
    // A folder copied or removed whole fails at one entry inside it; naming that entry tells the user
    // which file to look at. Only below the operation's own path: for a copy that is the source side,
    // as the destination side may lie below a temporary name.
    const std::wstring at = twinfold::LastErrorPath();
    if (LiesBelow(at, path)) failure.at = at;
    Keep(std::move(failure));
}

void NoteFailure(FailedOperation operation, const std::wstring& path, const twinfold::SystemError& error) {
    RunFailure failure;
    failure.operation = operation;
    failure.path = path;
    failure.error = error;
    Keep(std::move(failure));
}

void NoteRefusal(FailedOperation operation, const std::wstring& path, const std::wstring& target,
                 const std::wstring& reason) {
    RunFailure failure;
    failure.operation = operation;
    failure.path = path;
    failure.target = target;
    failure.reason = reason;
    Keep(std::move(failure));
}

std::optional<RunFailure> FirstFailure() {
    std::lock_guard<std::mutex> lock(g_failureMutex);
    return g_firstFailure;
}

void ClearRunFailure() {
    std::lock_guard<std::mutex> lock(g_failureMutex);
    g_firstFailure.reset();
}

namespace {

// A run that stopped for want of memory, whoever noticed it: the system, or the program itself.
bool OutOfMemory(const RunFailure& failure) {
    if (!failure.reason.empty()) return false;
#ifdef _WIN32
    if (failure.error.code == ERROR_OUTOFMEMORY) return true;
#endif
    return failure.error.code == ERROR_NOT_ENOUGH_MEMORY;
}

// "out of memory while copying 'src/a' to 'dst/a'": what the run was doing, with no reason to add.
std::wstring DescribeOutOfMemory(const RunFailure& failure) {
    std::wstring text = L"out of memory while ";
    switch (failure.operation) {
        case FailedOperation::copy:
            text += L"copying " + Quoted(failure.path) + L" to " + Quoted(failure.target);
            break;
        case FailedOperation::remove:
            text += L"deleting " + Quoted(failure.path);
            break;
        case FailedOperation::list:
            text += L"listing " + Quoted(failure.path);
            break;
        case FailedOperation::lookUp:
            text += L"looking up " + Quoted(failure.path);
            break;
        case FailedOperation::mirror:
            text += L"mirroring " + Quoted(failure.path) + L" onto " + Quoted(failure.target);
            break;
    }
    if (!failure.at.empty()) text += L" (at " + Quoted(failure.at) + L")";
    return text;
}

}  // namespace

std::wstring DescribeFailure(const RunFailure& failure) {
    if (OutOfMemory(failure)) return DescribeOutOfMemory(failure);
    std::wstring text;
    switch (failure.operation) {
        case FailedOperation::copy:
            text = L"cannot copy " + Quoted(failure.path) + L" to " + Quoted(failure.target);
            break;
        case FailedOperation::remove:
            text = L"cannot delete " + Quoted(failure.path);
            break;
        case FailedOperation::list:
            text = L"cannot list " + Quoted(failure.path);
            break;
        case FailedOperation::lookUp:
            text = L"cannot look up " + Quoted(failure.path);
            break;
        case FailedOperation::mirror:
            text = L"cannot mirror " + Quoted(failure.path) + L" onto " + Quoted(failure.target);
            break;
    }
    if (!failure.at.empty()) text += L" (at " + Quoted(failure.at) + L")";
    text += L": ";
    text += failure.reason.empty() ? twinfold::DescribeSystemError(failure.error) : failure.reason;
    return text;
}
