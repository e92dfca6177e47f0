// Test builds for Windows only (TWINFOLD_WINDOWS_LIMITS): the file calls the engine makes, held to
// the limits Windows keeps and Wine does not. Never part of the shipped program.
//
// Under these names the engine reaches wrappers (platform/windows_limits.cpp) that refuse what
// Windows refuses and then make the real call:
// - a path in the ordinary form of MAX_PATH characters or more (a folder to create: of MAX_PATH - 12
//   or more) is answered with ERROR_PATH_NOT_FOUND, without looking;
// - a rename that would replace a read-only file is answered with ERROR_ACCESS_DENIED;
// - the shell's copy refuses paths in the long form, and of a folder copies only what lies within
//   the limit, skips the rest and reports success, as the Windows shell does.
#pragma once

#ifndef _WIN32
#error "windows_limits.h is for Windows builds only"
#endif

#include <windows.h>
#include <shellapi.h>

HANDLE WINAPI LimitedFindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findData);
BOOL WINAPI LimitedCopyFileW(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists);
BOOL WINAPI LimitedMoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags);
BOOL WINAPI LimitedDeleteFileW(LPCWSTR fileName);
BOOL WINAPI LimitedRemoveDirectoryW(LPCWSTR pathName);
BOOL WINAPI LimitedCreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES attributes);
BOOL WINAPI LimitedSetFileAttributesW(LPCWSTR fileName, DWORD attributes);
DWORD WINAPI LimitedGetFileAttributesW(LPCWSTR fileName);
BOOL WINAPI LimitedGetFileAttributesExW(LPCWSTR fileName, GET_FILEEX_INFO_LEVELS level, LPVOID information);
HANDLE WINAPI LimitedCreateFileW(LPCWSTR fileName, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE templateFile);
BOOLEAN WINAPI LimitedCreateSymbolicLinkW(LPCWSTR linkName, LPCWSTR target, DWORD flags);
int WINAPI LimitedSHFileOperationW(LPSHFILEOPSTRUCTW fileOp);

#ifndef TWINFOLD_WINDOWS_LIMITS_IMPLEMENTATION
#define FindFirstFileW LimitedFindFirstFileW
#define CopyFileW LimitedCopyFileW
#define MoveFileExW LimitedMoveFileExW
#define DeleteFileW LimitedDeleteFileW
#define RemoveDirectoryW LimitedRemoveDirectoryW
#define CreateDirectoryW LimitedCreateDirectoryW
#define SetFileAttributesW LimitedSetFileAttributesW
#define GetFileAttributesW LimitedGetFileAttributesW
#define GetFileAttributesExW LimitedGetFileAttributesExW
#define CreateFileW LimitedCreateFileW
#define CreateSymbolicLinkW LimitedCreateSymbolicLinkW
#define SHFileOperationW LimitedSHFileOperationW
#endif
