// twinfold_hold FILE MARKER: opens FILE for writing with no sharing, as a program that is still
// writing it would, creates MARKER once the file is held, and lets go when MARKER is removed (or
// after two minutes). For the tests of a copy that meets a file it cannot read.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: twinfold_hold FILE MARKER\n", stderr);
        return 2;
    }
    HANDLE held = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "twinfold_hold: cannot open the file (error %lu)\n", GetLastError());
        return 1;
    }
    HANDLE marker = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (marker == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(marker);
    for (int waited = 0; waited < 120000 && GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES; waited += 50) Sleep(50);
    CloseHandle(held);
    return 0;
}
