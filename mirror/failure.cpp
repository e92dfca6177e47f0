#include "mirror/failure.h"

namespace {

// True when `inner` names an entry strictly below the folder `outer`.
bool LiesBelow(const std::wstring& inner, const std::wstring& outer) {
    return !outer.empty() && inner.size() > outer.size() + 1 && inner.compare(0, outer.size(), outer) == 0 &&
           inner[outer.size()] == twinfold::kPathSeparator;
}

std::wstring Quoted(const std::wstring& path) { return L"'" + path + L"'"; }

}  // namespace

RunFailure SystemFailure(FailedOperation operation, const std::wstring& path, const std::wstring& target,
                         const twinfold::SystemError& error) {
    RunFailure failure;
    failure.operation = operation;
    failure.path = path;
    failure.target = target;
    failure.error = error;
    // Only below the operation's own path: for a copy that is the source side, as the destination
    // side may lie below a temporary name.
    if (LiesBelow(error.path, path)) failure.at = error.path;
    return failure;
}

RunFailure SystemFailure(FailedOperation operation, const std::wstring& path, const std::wstring& target) {
    return SystemFailure(operation, path, target, twinfold::LastSystemError());
}

RunFailure Refusal(FailedOperation operation, const std::wstring& path, const std::wstring& target,
                   const std::wstring& reason) {
    RunFailure failure;
    failure.operation = operation;
    failure.path = path;
    failure.target = target;
    failure.reason = reason;
    return failure;
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

// What the run was doing, as "copy 'src/a' to 'dst/a'" (or, with `ongoing`, "copying ...").
std::wstring Operation(const RunFailure& failure, bool ongoing) {
    const auto verb = [ongoing](const wchar_t* plain, const wchar_t* ing) { return std::wstring(ongoing ? ing : plain); };
    switch (failure.operation) {
        case FailedOperation::copy:
            return verb(L"copy ", L"copying ") + Quoted(failure.path) + L" to " + Quoted(failure.target);
        case FailedOperation::rename:
            return verb(L"rename ", L"renaming ") + Quoted(failure.path) + L" to " + Quoted(failure.target);
        case FailedOperation::remove:
            return verb(L"delete ", L"deleting ") + Quoted(failure.path);
        case FailedOperation::list:
            return verb(L"list ", L"listing ") + Quoted(failure.path);
        case FailedOperation::lookUp:
            return verb(L"look up ", L"looking up ") + Quoted(failure.path);
        case FailedOperation::mirror:
            return verb(L"mirror ", L"mirroring ") + Quoted(failure.path) + L" onto " + Quoted(failure.target);
    }
    return std::wstring();
}

}  // namespace

std::wstring DescribeFailure(const RunFailure& failure) {
    // Out of memory needs no reason: "out of memory while copying ...".
    const bool outOfMemory = OutOfMemory(failure);
    std::wstring text = (outOfMemory ? L"out of memory while " : L"cannot ") + Operation(failure, outOfMemory);
    if (!failure.at.empty()) text += L" (at " + Quoted(failure.at) + L")";
    if (outOfMemory) return text;
    text += L": ";
    text += failure.reason.empty() ? twinfold::DescribeSystemError(failure.error) : failure.reason;
    return text;
}
