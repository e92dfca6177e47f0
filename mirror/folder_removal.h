// Removing one folder with everything in it, permanently and never through a link: used by the
// delete pass and by the landings, which remove what a failed copy left under a temporary name.
#pragma once

#include <string>

// Removes one directory with everything in it, never following a link: a link found inside is
// removed as itself, and a link named here too. True on success, with the platform's reason in
// GetLastError() otherwise.
bool RemoveFolder(const std::wstring& directory);
