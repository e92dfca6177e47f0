// The shell's copy of one entry that the destination lacks (with its progress window in the dialog),
// used by the landings of both the copy pass and the copies made ahead.
#pragma once

#include <string>

enum class Silent { no, yes };

// Copies one entry that the destination lacks to exactly `dst`, creating missing parent folders.
// True on success, with the platform's reason in GetLastError() otherwise.
bool ShellCopy(const std::wstring& src, const std::wstring& dst, Silent silent);
