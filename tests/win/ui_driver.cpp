// Drives Twinfold.exe from outside under a real (or Wine's) window system and checks what a user
// would see: the dialog's template, its states through a job, the message boxes, the settings file,
// ending during a job, and unattended runs with their exit codes.
//
// Usage: twinfold_ui_driver TWINFOLD_EXE NO_THREADS_EXE SCRATCH_FOLDER [NAME_PART]
// Prints one "PASS name", "FAIL name" or "SKIP name" line per scenario (details or the reason for a
// skip indented below) and exits 1 when any scenario failed.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "mirror/roots.h"
#include "res/resource.h"
#include "tests/win/driver_support.h"

using namespace driver;

namespace {

const wchar_t kDialogCaption[] = L"Clone Directory";
const wchar_t kSuccessCaption[] = L"Operation Successful!";
const wchar_t kFailureCaption[] = L"Operation Failed!";
const wchar_t kNotStartedCaption[] = L"Operation Not Started";
const wchar_t kSuccessText[] = L"Operation successful!\n\nTotal Size: 5KB 880B\nNum Dirs: 1\nNum Files: 3";
const int kManyFiles = 1500;

struct Environment {
    std::wstring exe;
    std::wstring noThreadsExe;
    std::wstring scratch;
    std::wstring manyFiles;  // a source of kManyFiles small files: long enough a copy pass to interrupt
    int nextFolder = 0;
};
Environment g_env;

// A fresh folder for one scenario, with its own copy of the program (and so its own settings file).
struct Workspace {
    explicit Workspace(const std::wstring& exeToCopy = g_env.exe) {
        do {
            root = g_env.scratch + L"\\s" + std::to_wstring(++g_env.nextFolder);
        } while (Exists(root));
        appDir = root + L"\\app";
        MakeDir(appDir);
        exe = appDir + L"\\Twinfold.exe";
        CopyFileW(exeToCopy.c_str(), exe.c_str(), FALSE);
        ini = appDir + L"\\Twinfold.ini";
    }
    std::wstring Path(const std::wstring& relative) const { return root + L"\\" + relative; }

    std::wstring root, appDir, exe, ini;
};

// The source of the 5KB 880B cases: one folder holding files of 1000, 2000 and 3000 bytes.
void MakeSmallSource(const std::wstring& folder) {
    WriteSizedFile(folder + L"\\sub\\a.bin", 1000);
    WriteSizedFile(folder + L"\\sub\\b.bin", 2000);
    WriteSizedFile(folder + L"\\sub\\c.bin", 3000);
}

void PrepareDialog(HWND dialog, const std::wstring& src, const std::wstring& dst, bool deleteOption) {
    SetItemText(dialog, IDC_SRC_EDIT, src);
    SetItemText(dialog, IDC_DST_EDIT, dst);
    SendMessageW(GetDlgItem(dialog, IDC_DELETE_CHECK), BM_SETCHECK, deleteOption ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool ButtonsAre(HWND dialog, const wchar_t* goText, bool goEnabled, bool exitEnabled) {
    return ItemText(dialog, IDOK) == goText && ItemEnabled(dialog, IDOK) == goEnabled &&
           ItemEnabled(dialog, IDCANCEL) == exitEnabled && ItemText(dialog, IDCANCEL) == L"Exit";
}

std::string Describe(HWND dialog) {
    return "button 1 \"" + Narrow(ItemText(dialog, IDOK)) + (ItemEnabled(dialog, IDOK) ? "\" enabled" : "\" disabled") +
           ", Exit " + (ItemEnabled(dialog, IDCANCEL) ? "enabled" : "disabled");
}

void ExpectState(Scenario& s, HWND dialog, const wchar_t* goText, bool goEnabled, bool exitEnabled,
                 const std::string& state, int milliseconds = 15000) {
    const bool reached = WaitUntil([&] { return ButtonsAre(dialog, goText, goEnabled, exitEnabled); }, milliseconds);
    s.Check(reached, state + " state not reached: " + Describe(dialog));
}

bool NoJobBox(const App& app) {
    return app.FindTopLevel(kSuccessCaption) == nullptr && app.FindTopLevel(kFailureCaption) == nullptr &&
           app.FindTopLevel(kNotStartedCaption) == nullptr;
}

// Exit with no job running ends the program with exit code 0.
void ExitIdle(Scenario& s, App& app, HWND dialog) {
    Press(dialog, IDCANCEL);
    s.Equal(app.WaitForExit(), 0, "exit code after Exit");
}

// ---------------------------------------------------------------------------------------------
// The template and the manifest, read from the program file itself.

struct TemplateReader {
    const BYTE* start;
    const BYTE* at;
    const BYTE* end;
    bool ok = true;

    template <typename T>
    T Read() {
        T value{};
        if (at + sizeof(T) > end) {
            ok = false;
            return value;
        }
        std::memcpy(&value, at, sizeof(T));
        at += sizeof(T);
        return value;
    }
    // A name or an ordinal; ordinals of the predefined control classes come back as class names.
    std::wstring NameOrOrdinal() {
        const WORD first = Read<WORD>();
        if (first == 0) return L"";
        if (first == 0xFFFF) {
            const WORD ordinal = Read<WORD>();
            static const wchar_t* const kClasses[] = {L"Button", L"Edit", L"Static", L"ListBox", L"ScrollBar",
                                                      L"ComboBox"};
            if (ordinal >= 0x80 && ordinal <= 0x85) return kClasses[ordinal - 0x80];
            return L"#" + std::to_wstring(ordinal);
        }
        std::wstring text(1, static_cast<wchar_t>(first));
        for (WORD c = Read<WORD>(); ok && c != 0; c = Read<WORD>()) text += static_cast<wchar_t>(c);
        return text;
    }
    void AlignToDword() {
        while ((at - start) % 4 != 0) ++at;
    }
};

struct ExpectedControl {
    int id;
    const wchar_t* className;
    const wchar_t* text;
    DWORD style;
    short x, y, cx, cy;
};

void TemplateScenario(Scenario& s) {
    HMODULE module = LoadLibraryExW(g_env.exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    s.Check(module != nullptr, "Twinfold.exe cannot be loaded as a data file");
    if (module == nullptr) return;
    HRSRC resource = FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(IDD_MAIN),
                                     MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK));
    s.Check(resource != nullptr, "no dialog 101 in English (United Kingdom)");
    if (resource == nullptr) {
        FreeLibrary(module);
        return;
    }
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, resource)));
    TemplateReader r{data, data, data + SizeofResource(module, resource)};

    s.Equal(r.Read<WORD>(), 1, "template version");
    s.Equal(r.Read<WORD>(), 0xFFFF, "extended template signature");
    s.Equal(r.Read<DWORD>(), 0, "help id");
    s.Equal(r.Read<DWORD>(), 0, "dialog extended style");
    s.Equal(r.Read<DWORD>(), WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS,
            "dialog style");
    const WORD count = r.Read<WORD>();
    s.Equal(r.Read<short>(), 0, "dialog x");
    s.Equal(r.Read<short>(), 0, "dialog y");
    s.Equal(r.Read<short>(), 309, "dialog width");
    s.Equal(r.Read<short>(), 121, "dialog height");
    s.Equal(r.NameOrOrdinal(), L"", "menu");
    s.Equal(r.NameOrOrdinal(), L"", "dialog class");
    s.Equal(r.NameOrOrdinal(), kDialogCaption, "caption");
    s.Equal(r.Read<WORD>(), 8, "font size");
    s.Equal(r.Read<WORD>(), 400, "font weight");
    s.Equal(r.Read<BYTE>(), 0, "font italic");
    s.Equal(r.Read<BYTE>(), 1, "font character set");
    s.Equal(r.NameOrOrdinal(), L"MS Shell Dlg", "font face");

    const DWORD kChild = WS_CHILD | WS_VISIBLE;
    const ExpectedControl expected[] = {
        {IDOK, L"Button", L"Go", kChild | BS_DEFPUSHBUTTON | WS_TABSTOP, 198, 100, 50, 14},
        {IDCANCEL, L"Button", L"Exit", kChild | BS_PUSHBUTTON | WS_TABSTOP, 252, 100, 50, 14},
        {IDC_SRC_EDIT, L"Edit", L"", kChild | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 39, 7, 206, 14},
        {IDC_SRC_BROWSE, L"Button", L"Choose Dir", kChild | BS_PUSHBUTTON | WS_TABSTOP, 252, 7, 50, 14},
        {IDC_SRC_LABEL, L"Static", L"Src Dir", kChild | SS_LEFT | WS_GROUP, 14, 10, 22, 8},
        {IDC_DST_EDIT, L"Edit", L"", kChild | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 39, 28, 206, 14},
        {IDC_DST_BROWSE, L"Button", L"Choose Dir", kChild | BS_PUSHBUTTON | WS_TABSTOP, 252, 28, 50, 14},
        {IDC_DST_LABEL, L"Static", L"Dst Dir", kChild | SS_LEFT | WS_GROUP, 14, 31, 22, 8},
        {IDC_PROGRESS_LABEL, L"Static", L"Current Progress", kChild | SS_LEFT | WS_GROUP, 7, 78, 56, 8},
        {IDC_PROGRESS, L"msctls_progress32", L"", kChild | PBS_SMOOTH | WS_BORDER, 73, 76, 229, 14},
        {IDC_DELETE_CHECK, L"Button", L"Delete From Dst Dir If Not In Src", kChild | BS_AUTOCHECKBOX | WS_TABSTOP,
         93, 55, 119, 10},
    };
    s.Equal(count, sizeof(expected) / sizeof(expected[0]), "number of controls");
    for (int i = 0; i < count && i < static_cast<int>(sizeof(expected) / sizeof(expected[0])) && r.ok; ++i) {
        const ExpectedControl& e = expected[i];
        const std::string at = "control " + std::to_string(i + 1) + " (id " + std::to_string(e.id) + ") ";
        r.AlignToDword();
        s.Equal(r.Read<DWORD>(), 0, at + "help id");
        s.Equal(r.Read<DWORD>(), 0, at + "extended style");
        s.Equal(r.Read<DWORD>(), e.style, at + "style");
        s.Equal(r.Read<short>(), e.x, at + "x");
        s.Equal(r.Read<short>(), e.y, at + "y");
        s.Equal(r.Read<short>(), e.cx, at + "width");
        s.Equal(r.Read<short>(), e.cy, at + "height");
        s.Equal(r.Read<DWORD>(), e.id, at + "id");
        const std::wstring className = r.NameOrOrdinal();
        s.Check(_wcsicmp(className.c_str(), e.className) == 0, at + "class " + Narrow(className));
        s.Equal(r.NameOrOrdinal(), e.text, at + "text");
        r.at += r.Read<WORD>();  // creation data
    }
    s.Check(r.ok, "template ends early");

    HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    s.Check(manifest != nullptr, "no manifest");
    if (manifest != nullptr) {
        const char* text = static_cast<const char*>(LockResource(LoadResource(module, manifest)));
        const std::string xml(text, SizeofResource(module, manifest));
        const char* const kSettings[] = {
            "level=\"asInvoker\"",
            "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
            ">true/pm</dpiAware>",
            ">PerMonitorV2, PerMonitor</dpiAwareness>",
            "<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true</longPathAware>",
            "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // Windows 7
            "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // Windows 8
            "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // Windows 8.1
            "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10 and 11
        };
        for (const char* setting : kSettings) {
            s.Check(xml.find(setting) != std::string::npos, std::string("manifest lacks ") + setting);
        }
        s.Check(xml.find("version=\"" TWINFOLD_VERSION ".0\"") != std::string::npos,
                "manifest's assembly version is not " TWINFOLD_VERSION ".0");
    }
    FreeLibrary(module);
}

// The version resource and the icon group, as Explorer's Properties and the shell read them.
void VersionAndIconScenario(Scenario& s) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(g_env.exe.c_str(), &ignored);
    s.Check(size != 0, "no version resource");
    if (size != 0) {
        std::vector<BYTE> info(size);
        GetFileVersionInfoW(g_env.exe.c_str(), 0, size, info.data());
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        s.Check(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr,
                "no fixed version information");
        if (fixed != nullptr) {
            unsigned major = 0, minor = 0, patch = 0;
            std::sscanf(TWINFOLD_VERSION, "%u.%u.%u", &major, &minor, &patch);
            s.Equal(fixed->dwFileVersionMS, MAKELONG(minor, major), "file version, high half");
            s.Equal(fixed->dwFileVersionLS, MAKELONG(0, patch), "file version, low half");
            s.Equal(fixed->dwProductVersionMS, fixed->dwFileVersionMS, "product version, high half");
            s.Equal(fixed->dwFileType, VFT_APP, "file type");
        }
        auto text = [&](const wchar_t* name) {
            wchar_t* value = nullptr;
            UINT chars = 0;
            const std::wstring key = std::wstring(L"\\StringFileInfo\\080904B0\\") + name;
            const bool found = VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &chars);
            if (!found || value == nullptr) return std::wstring(L"(none)");
            return std::wstring(value);
        };
        s.Equal(text(L"ProductName"), L"Twinfold", "product name");
        s.Equal(text(L"FileVersion"), L"" TWINFOLD_VERSION, "file version text");
        s.Equal(text(L"ProductVersion"), L"" TWINFOLD_VERSION, "product version text");
        s.Equal(text(L"OriginalFilename"), L"Twinfold.exe", "original file name");
        s.Check(text(L"FileDescription").find(L"Twinfold") == 0, "description: " + Narrow(text(L"FileDescription")));
        s.Check(text(L"LegalCopyright").find(L"Copyright") == 0, "copyright: " + Narrow(text(L"LegalCopyright")));
    }

    HMODULE module = LoadLibraryExW(g_env.exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) return s.Check(false, "Twinfold.exe cannot be loaded as a data file");
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(IDI_TWINFOLD), RT_GROUP_ICON);
    s.Check(group != nullptr, "no icon group");
    if (group != nullptr) {
        // GRPICONDIR: reserved, type 1, count, then 14-byte entries whose first byte is the width (0: 256).
        const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
        const DWORD bytes = SizeofResource(module, group);
        std::vector<int> widths;
        const WORD count = bytes >= 6 ? static_cast<WORD>(data[4] | (data[5] << 8)) : 0;
        for (WORD i = 0; i < count && 6u + 14u * (i + 1u) <= bytes; ++i) {
            widths.push_back(data[6 + 14 * i] == 0 ? 256 : data[6 + 14 * i]);
        }
        for (int wanted : {16, 20, 24, 32, 40, 48, 64, 256}) {
            s.Check(std::find(widths.begin(), widths.end(), wanted) != widths.end(),
                    "the icon has no " + std::to_string(wanted) + "-pixel image");
        }
    }
    FreeLibrary(module);
}

// ---------------------------------------------------------------------------------------------
// Opening the dialog.

void FirstStartScenario(Scenario& s) {
    Workspace w;
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    s.Check(dialog != nullptr, "dialog did not open");
    if (dialog == nullptr) return;
    s.Equal(ItemText(dialog, IDC_SRC_EDIT), w.appDir + L"\\", "source field");
    s.Equal(ItemText(dialog, IDC_DST_EDIT), w.appDir + L"\\", "destination field");
    s.Equal(SendMessageW(GetDlgItem(dialog, IDC_DELETE_CHECK), BM_GETCHECK, 0, 0), BST_CHECKED, "check box");
    s.Check(FocusOf(dialog) == GetDlgItem(dialog, IDOK), "button 1 does not have the focus");
    s.Check(ButtonsAre(dialog, L"Go", true, true), "not Idle: " + Describe(dialog));
    s.Equal(SendMessageW(GetDlgItem(dialog, IDC_PROGRESS), PBM_GETPOS, 0, 0), 0, "progress bar");
    ExitIdle(s, app, dialog);
    s.Check(!Exists(w.ini), "opening and closing wrote a settings file");
}

void StoredValuesScenario(Scenario& s) {
    Workspace w;
    WritePrivateProfileStringW(L"Directories", L"Src", L"C:\\stored source", w.ini.c_str());
    WritePrivateProfileStringW(L"Directories", L"Dst", L"D:\\stored destination\\", w.ini.c_str());
    WritePrivateProfileStringW(L"Options", L"DeleteFromDstIfNoExistInSrc", L"no", w.ini.c_str());
    {
        App app(w.exe, L"");
        HWND dialog = app.WaitForDialog();
        s.Check(dialog != nullptr, "dialog did not open");
        if (dialog == nullptr) return;
        s.Equal(ItemText(dialog, IDC_SRC_EDIT), L"C:\\stored source", "source field");
        s.Equal(ItemText(dialog, IDC_DST_EDIT), L"D:\\stored destination\\", "destination field");
        s.Equal(SendMessageW(GetDlgItem(dialog, IDC_DELETE_CHECK), BM_GETCHECK, 0, 0), BST_UNCHECKED, "check box");
        ExitIdle(s, app, dialog);
    }
    // An empty stored folder keeps the program's folder; an empty option reads as set.
    WritePrivateProfileStringW(L"Directories", L"Src", L"", w.ini.c_str());
    WritePrivateProfileStringW(L"Options", L"DeleteFromDstIfNoExistInSrc", L"", w.ini.c_str());
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open again");
    s.Equal(ItemText(dialog, IDC_SRC_EDIT), w.appDir + L"\\", "source field with an empty stored value");
    s.Equal(ItemText(dialog, IDC_DST_EDIT), L"D:\\stored destination\\", "destination field, second start");
    s.Equal(SendMessageW(GetDlgItem(dialog, IDC_DELETE_CHECK), BM_GETCHECK, 0, 0), BST_CHECKED,
            "check box with an empty stored value");
    ExitIdle(s, app, dialog);
}

// The running dialog: its icon in the title bar, and the version 6 common controls that the manifest
// asks for (loaded from the side-by-side store, where the older ones come from the system folder).
void LookScenario(Scenario& s) {
    Workspace w;
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open");
    // Wine answers no WM_GETICON from another process, so the title bar is looked at instead: the
    // icon's amber folder stands out among any caption's colours.
    auto amberPixels = [dialog] {
        RECT frame{};
        GetWindowRect(dialog, &frame);
        const int caption = GetSystemMetrics(SM_CYCAPTION) + GetSystemMetrics(SM_CYFIXEDFRAME);
        int amber = 0;
        HDC screen = GetDC(nullptr);
        for (int y = frame.top; y < frame.top + caption; ++y) {
            for (int x = frame.left; x < frame.left + 2 * caption; ++x) {
                const COLORREF pixel = GetPixel(screen, x, y);
                const int red = GetRValue(pixel), green = GetGValue(pixel), blue = GetBValue(pixel);
                if (red > 200 && green > 120 && green < 215 && blue < 120) ++amber;
            }
        }
        ReleaseDC(nullptr, screen);
        return amber;
    };
    // Painted once the dialog is shown, which may come a moment after it exists.
    WaitUntil([&] { return amberPixels() >= 8; }, 5000);
    const int amber = amberPixels();
    s.Check(amber >= 8, "the title bar shows no icon of the program's (" + std::to_string(amber) + " amber pixels)");
    std::wstring controls = L"(not loaded)";
    HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, app.ProcessId());
    if (modules != INVALID_HANDLE_VALUE) {
        MODULEENTRY32W module{};
        module.dwSize = sizeof(module);
        for (BOOL more = Module32FirstW(modules, &module); more; more = Module32NextW(modules, &module)) {
            if (_wcsicmp(module.szModule, L"comctl32.dll") == 0) controls = module.szExePath;
        }
        CloseHandle(modules);
    }
    std::wstring folded = controls;
    CharLowerW(&folded[0]);
    s.Check(folded.find(L"microsoft.windows.common-controls_6595b64144ccf1df_6.") != std::wstring::npos,
            "common controls loaded from " + Narrow(controls));
    ExitIdle(s, app, dialog);
}

// Every control lies inside the dialog and off every other, and every text fits its control, at the
// display's scale (run_wine_tests.sh runs this at 96 and at 144 DPI).
void LayoutScenario(Scenario& s) {
    Workspace w;
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open");
    HDC dc = GetDC(nullptr);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    const std::string at = " at " + std::to_string(dpi) + " DPI";
    // The dialog's font, made as the dialog manager makes it from the template: 8 points of MS Shell
    // Dlg, which DS_SHELLFONT turns into MS Shell Dlg 2.
    HFONT font = CreateFontW(-MulDiv(8, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH,
                             L"MS Shell Dlg 2");
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SIZE alphabet{};
    GetTextExtentPoint32W(dc, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52, &alphabet);
    const int unitX = (alphabet.cx / 26 + 1) / 2, unitY = metrics.tmHeight;
    auto textWidth = [&](const std::wstring& text) {
        SIZE extent{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
        return static_cast<long long>(extent.cx);
    };
    RECT area{};
    GetClientRect(dialog, &area);
    // Measured with the dialog's font, the 309 x 121 units make exactly the dialog's size.
    s.Equal(area.right, MulDiv(309, unitX, 4), "dialog width: another font than the dialog's" + at);
    s.Equal(area.bottom, MulDiv(121, unitY, 8), "dialog height: another font than the dialog's" + at);

    const int ids[] = {IDOK, IDCANCEL, IDC_SRC_EDIT, IDC_SRC_BROWSE, IDC_SRC_LABEL, IDC_DST_EDIT,
                       IDC_DST_BROWSE, IDC_DST_LABEL, IDC_PROGRESS_LABEL, IDC_PROGRESS, IDC_DELETE_CHECK};
    std::vector<RECT> placed;
    for (int id : ids) {
        HWND control = GetDlgItem(dialog, id);
        RECT box{}, inner{};
        GetWindowRect(control, &box);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&box), 2);
        GetClientRect(control, &inner);
        const std::wstring text = ItemText(dialog, id);
        const std::string name = "control " + std::to_string(id) + " \"" + Narrow(text) + "\"";
        RECT common{};
        s.Check(IntersectRect(&common, &box, &area) && EqualRect(&common, &box), name + " leaves the dialog" + at);
        for (const RECT& other : placed) {
            s.Check(!IntersectRect(&common, &box, &other), name + " overlaps another control" + at);
        }
        placed.push_back(box);

        wchar_t className[32] = {};
        GetClassNameW(control, className, 32);
        const LONG style = GetWindowLongW(control, GWL_STYLE);
        // Room the control itself takes from the text, at the least: the box of a check box, the
        // frame of a push button; a label is all text.
        long long taken = 0;
        if (_wcsicmp(className, L"Button") == 0) {
            taken = MulDiv((style & BS_TYPEMASK) == BS_AUTOCHECKBOX ? 13 : 2 * 3, dpi, 96);
        } else if (_wcsicmp(className, L"Static") != 0) {
            // Fields and the progress bar: a line of text must fit their height.
            s.Check(inner.bottom >= metrics.tmHeight, name + ": a line of text does not fit its height" + at);
            continue;
        }
        const long long width = textWidth(text);
        s.Check(width + taken <= inner.right, name + " is cut: its text needs " + std::to_string(width + taken) +
                                                  " pixels, it has " + std::to_string(inner.right) + at);
        s.Check(metrics.tmHeight <= inner.bottom, name + " is cut: a line of text is " +
                                                      std::to_string(metrics.tmHeight) + " pixels high, it has " +
                                                      std::to_string(inner.bottom) + at);
    }
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(nullptr, dc);
    ExitIdle(s, app, dialog);
}

// ---------------------------------------------------------------------------------------------
// Jobs that run to their end.

void SuccessScenario(Scenario& s) {
    Workspace w;
    const std::wstring src = w.Path(L"src"), dst = w.Path(L"dst");
    MakeSmallSource(src);
    WriteSizedFile(dst + L"\\stale.txt", 10);
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open");
    PrepareDialog(dialog, src, dst, true);
    Press(dialog, IDOK);
    HWND box = app.WaitForTopLevel(kSuccessCaption, 30000);
    s.Check(box != nullptr, "no \"Operation Successful!\" box");
    if (box == nullptr) return;
    s.Equal(BoxText(box), kSuccessText, "box text");
    s.Check(GetWindow(box, GW_OWNER) == nullptr, "the box has an owner window");
    // Reporting: the job still counts as running while its box is open.
    ExpectState(s, dialog, L"Cancel", true, false, "Reporting");
    s.Equal(SendMessageW(GetDlgItem(dialog, IDC_PROGRESS), PBM_GETPOS, 0, 0), 0, "progress bar");
    Press(dialog, IDOK);
    ExpectState(s, dialog, L"Cancelling...", false, false, "Cancelling while the box is open");
    s.Check(app.FindTopLevel(kSuccessCaption) == box, "cancelling closed the box");
    CloseBox(box);
    ExpectState(s, dialog, L"Go", true, true, "Idle");

    const std::vector<std::wstring> expectedTree = {L"sub/", L"sub\\a.bin", L"sub\\b.bin", L"sub\\c.bin"};
    s.Check(ListTree(dst) == expectedTree, "destination is not a mirror of the source");
    s.Equal(Profile(w.ini, L"Directories", L"Src"), src, "stored source");
    s.Equal(Profile(w.ini, L"Directories", L"Dst"), dst, "stored destination");
    s.Equal(Profile(w.ini, L"Options", L"DeleteFromDstIfNoExistInSrc"), L"1", "stored option");
    const std::wstring file = ReadTextFile(w.ini);
    const std::size_t srcKey = file.find(L"Src="), dstKey = file.find(L"Dst="), options = file.find(L"[Options]");
    s.Check(file.find(L"[Directories]") < srcKey && srcKey < dstKey && dstKey < options &&
                options != std::wstring::npos,
            "settings file order: " + Narrow(Escaped(file)));
    ExitIdle(s, app, dialog);
}

void FailureTextScenario(Scenario& s) {
    Workspace w;
    const std::wstring src = w.Path(L"src"), dst = w.Path(L"dst");
    MakeSmallSource(src);
    MakeSmallSource(dst);
    MakeDir(dst + L"\\extra");
    {
        App app(w.exe, L"");
        HWND dialog = app.WaitForDialog();
        if (dialog == nullptr) return s.Check(false, "dialog did not open");
        PrepareDialog(dialog, src, dst, false);
        Press(dialog, IDOK);
        HWND box = app.WaitForTopLevel(kFailureCaption, 30000);
        s.Check(box != nullptr, "no \"Operation Failed!\" box");
        if (box == nullptr) return;
        s.Equal(BoxText(box),
                L"Operation failed!\n\nSrc Size: 5KB 880B\nNum Dirs: 1\nNum Files: 3\n\n"
                L"Dst Size: 5KB 880B\nNum Dirs: 2\nNum Files: 3",
                "box text");
        CloseBox(box);
        ExpectState(s, dialog, L"Go", true, true, "Idle");
        s.Check(Exists(dst + L"\\extra"), "the delete pass ran with the check box clear");
        s.Equal(Profile(w.ini, L"Options", L"DeleteFromDstIfNoExistInSrc"), L"0", "stored option");
        ExitIdle(s, app, dialog);
    }
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open again");
    s.Equal(SendMessageW(GetDlgItem(dialog, IDC_DELETE_CHECK), BM_GETCHECK, 0, 0), BST_UNCHECKED,
            "check box on the next start");
    s.Equal(ItemText(dialog, IDC_SRC_EDIT), src, "source field on the next start");
    ExitIdle(s, app, dialog);
}

void SameFolderScenario(Scenario& s) {
    Workspace w;
    const std::wstring src = w.Path(L"src");
    MakeSmallSource(src);
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open");
    PrepareDialog(dialog, src, src, true);
    Press(dialog, IDOK);
    HWND box = app.WaitForTopLevel(kSuccessCaption, 30000);
    s.Check(box != nullptr, "no \"Operation Successful!\" box");
    if (box == nullptr) return;
    s.Equal(BoxText(box), kSuccessText, "box text");
    CloseBox(box);
    ExpectState(s, dialog, L"Go", true, true, "Idle");
    s.Equal(static_cast<long long>(ListTree(src).size()), 4, "entries in the folder");
    ExitIdle(s, app, dialog);
}

// ---------------------------------------------------------------------------------------------
// Jobs that are stopped.

// A source whose copy takes a while: a file of kBigSize at `bigRelative`, and 20 small files at the top.
constexpr std::uint64_t kBigSize = 200ull << 20;
void WriteSlowSource(const std::wstring& src, const std::wstring& bigRelative) {
    WriteSizedFile(src + L"\\" + bigRelative, kBigSize);
    for (int i = 0; i < 20; ++i) WriteSizedFile(src + L"\\later" + std::to_wstring(i) + L".txt", 100);
}

// True once a copy is being made in `dst`: copies are made under a temporary name and renamed into
// place when complete.
bool CopyUnderway(const std::wstring& dst) {
    for (const std::wstring& name : ListTree(dst)) {
        if (name.rfind(L".twinfold-tmp-", 0) == 0) return true;
    }
    return false;
}

void CancelScenario(Scenario& s) {
    Workspace w;
    const std::wstring src = w.Path(L"src"), dst = w.Path(L"dst");
    // A folder with a big file, copied first (a folder's subfolders come before its files) and in one
    // operation: the cancel surely lands while it is in progress, and the Cancelling state lasts
    // until it has ended. The files after it are never reached.
    WriteSlowSource(src, L"a\\big.bin");
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open");
    PrepareDialog(dialog, src, dst, true);
    Press(dialog, IDOK);
    ExpectState(s, dialog, L"Cancel", true, false, "Running");
    s.Equal(SendMessageW(GetDlgItem(dialog, IDC_PROGRESS), PBM_GETPOS, 0, 0), 0, "progress bar while running");
    s.Check(WaitUntil([&] { return CopyUnderway(dst); }, 20000), "the copy did not start");
    Press(dialog, IDOK);
    ExpectState(s, dialog, L"Cancelling...", false, false, "Cancelling", 2000);
    ExpectState(s, dialog, L"Go", true, true, "Idle after the cancel", 60000);
    Sleep(300);
    s.Check(NoJobBox(app), "a cancelled job showed a box");
    s.Equal(static_cast<long long>(FileSize(dst + L"\\a\\big.bin")), static_cast<long long>(kBigSize),
            "size of the file being copied when the cancel came");
    const long long copied = static_cast<long long>(ListTree(dst).size());
    s.Equal(copied, 2, "entries copied: the folder and its file, nothing after the cancel");
    s.Equal(Profile(w.ini, L"Directories", L"Src"), src, "stored source of the cancelled job");
    ExitIdle(s, app, dialog);
}

void DoublePressScenario(Scenario& s) {
    Workspace w;
    const std::wstring dst = w.Path(L"dst");
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open");
    PrepareDialog(dialog, g_env.manyFiles, dst, true);
    Press(dialog, IDOK);
    Press(dialog, IDOK);
    // Whether the second press lands before or after the worker switched the buttons, it cancels,
    // and the job ends before the copy pass has got far.
    Sleep(500);
    ExpectState(s, dialog, L"Go", true, true, "Idle");
    Sleep(300);
    s.Check(NoJobBox(app), "a cancelled job showed a box");
    s.Check(ListTree(dst).size() < 50, "the job copied on after being cancelled at once");
    s.Equal(Profile(w.ini, L"Directories", L"Dst"), dst, "the job stored its settings");
    // A single job ran: pressing once more starts a new one that runs to its end.
    MakeDir(dst);
    PrepareDialog(dialog, w.Path(L"dst"), w.Path(L"dst"), true);
    Press(dialog, IDOK);
    HWND box = app.WaitForTopLevel(kSuccessCaption, 30000);
    s.Check(box != nullptr, "the next job did not run");
    if (box != nullptr) CloseBox(box);
    ExpectState(s, dialog, L"Go", true, true, "Idle after the next job");
    ExitIdle(s, app, dialog);
}

void LockedFileScenario(Scenario& s) {
    Workspace w;
    const std::wstring src = w.Path(L"src"), dst = w.Path(L"dst");
    WriteSizedFile(src + L"\\a.txt", 10);
    WriteSizedFile(dst + L"\\a.txt", 5);
    WriteSizedFile(dst + L"\\extra.txt", 7);
    HANDLE lock = CreateFileW((dst + L"\\a.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    s.Check(lock != INVALID_HANDLE_VALUE, "cannot lock the destination file");
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) {
        CloseHandle(lock);
        return s.Check(false, "dialog did not open");
    }
    PrepareDialog(dialog, src, dst, true);
    Press(dialog, IDOK);
    // The job stops at its first copy; Running and Failed pass too fast to be seen from outside.
    s.Check(WaitUntil([&] { return Profile(w.ini, L"Directories", L"Src") == src; }), "the job did not start");
    ExpectState(s, dialog, L"Go", true, true, "Idle after the failed copy");
    Sleep(300);
    s.Check(NoJobBox(app), "a failed job showed a box");
    CloseHandle(lock);
    s.Equal(static_cast<long long>(FileSize(dst + L"\\a.txt")), 5, "size of the file that could not be replaced");
    s.Check(Exists(dst + L"\\extra.txt"), "the delete pass ran after a failed copy");
    ExitIdle(s, app, dialog);
}

// ---------------------------------------------------------------------------------------------
// Ending the program.

void ExitDuringCopyScenario(Scenario& s) {
    Workspace w;
    const std::wstring src = w.Path(L"src"), dst = w.Path(L"dst");
    WriteSlowSource(src, L"a\\big.bin");
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open");
    PrepareDialog(dialog, src, dst, true);
    Press(dialog, IDOK);
    ExpectState(s, dialog, L"Cancel", true, false, "Running");
    // Exit while the big folder is being copied: Exit itself is disabled, Escape still sends it. It
    // only cancels the job: no text changes, and the dialog stays open.
    s.Check(WaitUntil([&] { return CopyUnderway(dst); }, 20000), "the copy did not start");
    Command(dialog, IDCANCEL);
    // From Running straight back to Idle: the button never reads "Cancelling...".
    bool textChanged = false;
    WaitUntil([&] {
        const std::wstring text = ItemText(dialog, IDOK);
        textChanged = textChanged || (text != L"Cancel" && text != L"Go");
        return ButtonsAre(dialog, L"Go", true, true);
    }, 60000);
    s.Check(!textChanged, "Exit during the job changed the button's text");
    ExpectState(s, dialog, L"Go", true, true, "Idle after Exit during the job", 1000);
    s.Equal(app.WaitForExit(500), -1, "the program ended although Exit came during a job");
    s.Equal(static_cast<long long>(FileSize(dst + L"\\a\\big.bin")), static_cast<long long>(kBigSize),
            "size of the file being copied when Exit came");
    s.Equal(static_cast<long long>(ListTree(dst).size()), 2, "entries copied: the folder and its file, nothing after");
    ExitIdle(s, app, dialog);
}

void CloseDuringJobScenario(Scenario& s) {
    Workspace w;
    const std::wstring dst = w.Path(L"dst");
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open");
    PrepareDialog(dialog, g_env.manyFiles, dst, true);
    Press(dialog, IDOK);
    ExpectState(s, dialog, L"Cancel", true, false, "Running");
    WaitUntil([&] { return ListTree(dst).size() >= 20; });
    const std::size_t atClose = ListTree(dst).size();
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    s.Equal(app.WaitForExit(30000), 0, "exit code");
    // The worker finishes the copy it is in and stops there.
    const std::size_t atExit = ListTree(dst).size();
    s.Check(atExit < atClose + 20, "the job copied on after the close: " + std::to_string(atClose) + " files then " +
                                       std::to_string(atExit));
    for (const std::wstring& name : ListTree(dst)) {
        if (FileSize(dst + L"\\" + name) != FileSize(g_env.manyFiles + L"\\" + name)) {
            s.Check(false, "partly written file " + Narrow(name));
        }
    }
}

void CloseWhileReportingScenario(Scenario& s) {
    Workspace w;
    const std::wstring src = w.Path(L"src");
    MakeSmallSource(src);
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open");
    PrepareDialog(dialog, src, w.Path(L"dst"), true);
    Press(dialog, IDOK);
    HWND box = app.WaitForTopLevel(kSuccessCaption, 30000);
    s.Check(box != nullptr, "no \"Operation Successful!\" box");
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    s.Equal(app.WaitForExit(15000), 0, "exit code after closing with the box open");
}

void CloseIdleScenario(Scenario& s) {
    Workspace w;
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open");
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    s.Equal(app.WaitForExit(), 0, "exit code after the close box");
}

void KeyboardScenario(Scenario& s) {
    Workspace w;
    const std::wstring src = w.Path(L"src");
    MakeSmallSource(src);
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open");
    PrepareDialog(dialog, src, src, false);
    HWND edit = GetDlgItem(dialog, IDC_SRC_EDIT);
    PostKey(edit, VK_RETURN);
    HWND box = app.WaitForTopLevel(kSuccessCaption, 30000);
    s.Check(box != nullptr, "Enter did not start a job");
    PostKey(edit, VK_RETURN);
    ExpectState(s, dialog, L"Cancelling...", false, false, "Enter during a job: Cancelling");
    if (box != nullptr) CloseBox(box);
    ExpectState(s, dialog, L"Go", true, true, "Idle");
    PostKey(edit, VK_ESCAPE);
    s.Equal(app.WaitForExit(), 0, "exit code after Escape");
}

// ---------------------------------------------------------------------------------------------
// Jobs that must not start.

void RefusedRootsScenario(Scenario& s) {
    Workspace w;
    const std::wstring outer = w.Path(L"outer");
    WriteSizedFile(outer + L"\\a.txt", 10);
    WriteSizedFile(outer + L"\\inner\\b.txt", 20);
    const std::vector<std::wstring> before = ListTree(outer);
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open");

    struct Case {
        std::wstring src, dst;
        RootsCheck why;
        const char* name;
    };
    const Case cases[] = {
        {L"", outer, RootsCheck::emptyRoot, "empty source"},
        {outer, L"   ", RootsCheck::emptyRoot, "blank destination"},
        {outer, outer + L"\\inner", RootsCheck::overlapping, "destination inside the source"},
        {outer + L"\\inner\\", outer, RootsCheck::overlapping, "source inside the destination"},
        {outer + L"\\missing", w.Path(L"copy"), RootsCheck::sourceNotFolder, "missing source"},
    };
    for (const Case& c : cases) {
        const std::string name = c.name;
        PrepareDialog(dialog, c.src, c.dst, true);
        Press(dialog, IDOK);
        HWND box = app.WaitForTopLevel(kNotStartedCaption);
        s.Check(box != nullptr, name + ": no refusal box");
        if (box == nullptr) continue;
        s.Equal(BoxText(box), DescribeRootsCheck(c.why), name + ": box text");
        CloseBox(box);
        ExpectState(s, dialog, L"Go", true, true, name + ": Idle");
        s.Check(ListTree(outer) == before, name + ": the tree changed");
    }
    ExitIdle(s, app, dialog);
}

void ThreadRefusedScenario(Scenario& s) {
    Workspace w(g_env.noThreadsExe);
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open");
    for (int attempt = 1; attempt <= 2; ++attempt) {
        const std::string at = "attempt " + std::to_string(attempt) + ": ";
        Press(dialog, IDOK);
        HWND box = app.WaitForTopLevel(kNotStartedCaption);
        s.Check(box != nullptr, at + "no box telling that the job could not start");
        if (box == nullptr) break;
        s.Check(GetWindow(box, GW_OWNER) == dialog, at + "the box is not owned by the dialog");
        CloseBox(box);
        // Had the running flag stayed set, this press would have been a Cancel instead.
        ExpectState(s, dialog, L"Go", true, true, at + "Idle");
    }
    ExitIdle(s, app, dialog);
}

// ---------------------------------------------------------------------------------------------
// Paths longer than MAX_PATH.

void LongSettingsPathScenario(Scenario& s) {
    // A program named shorter than its settings file, in a folder 250 characters long: the program's
    // path fits MAX_PATH, the settings path does not, and must be used whole all the same.
    Workspace w;
    std::wstring folder = w.Path(L"deep");
    while (folder.size() + 1 < 250) folder += L"\\" + std::wstring(std::min<std::size_t>(40, 249 - folder.size()), L'd');
    MakeDir(folder);
    const std::wstring exe = folder + L"\\t.exe";
    s.Check(CopyFileW(g_env.exe.c_str(), exe.c_str(), FALSE) != FALSE, "cannot place the program in the deep folder");
    App app(exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open");
    s.Equal(ItemText(dialog, IDC_SRC_EDIT), folder + L"\\", "source field");

    // A source deeper than MAX_PATH too: its path reaches the passes and the settings whole.
    const std::wstring src = folder + L"\\" + std::wstring(30, L's'), dst = w.Path(L"dst");
    WriteSizedFile(src + L"\\a.bin", 1000);
    PrepareDialog(dialog, src, dst, true);
    Press(dialog, IDOK);
    HWND box = app.WaitForTopLevel(kSuccessCaption, 30000);
    s.Check(box != nullptr, "no \"Operation Successful!\" box");
    if (box != nullptr) {
        s.Equal(BoxText(box), L"Operation successful!\n\nTotal Size: 1000B\nNum Dirs: 0\nNum Files: 1", "box text");
        CloseBox(box);
    }
    ExpectState(s, dialog, L"Go", true, true, "Idle");
    s.Check(Exists(dst + L"\\a.bin"), "the file was not copied");
    // Profile files this long may be refused by the system (Wine refuses them): then the job runs
    // without settings. What must never happen is a settings file under a cut name.
    const std::wstring ini = folder + L"\\Twinfold.ini";
    if (Exists(ini)) s.Equal(Profile(ini, L"Directories", L"Src"), src, "stored source beside the program");
    std::vector<std::wstring> expected = {std::wstring(30, L's') + L"/", std::wstring(30, L's') + L"\\a.bin", L"t.exe"};
    if (Exists(ini)) expected.push_back(L"Twinfold.ini");
    std::sort(expected.begin(), expected.end());
    s.Check(ListTree(folder) == expected, "a settings file under a cut name beside the program");
    ExitIdle(s, app, dialog);
}

// ---------------------------------------------------------------------------------------------
// The folder browser.

HWND WaitForBrowser(const App& app, HWND dialog) {
    HWND browser = nullptr;
    WaitUntil([&] {
        const std::vector<HWND> others = app.OtherTopLevels(dialog);
        browser = others.empty() ? nullptr : others.front();
        return browser != nullptr;
    });
    return browser;
}

// Memory borrowed in the program's process, for messages whose data its windows read and write
// there. At() is null when the process or the memory could not be had.
class Borrowed {
public:
    Borrowed(DWORD processId, SIZE_T size)
        : m_process(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId)) {
        if (m_process != nullptr) {
            m_at = static_cast<BYTE*>(VirtualAllocEx(m_process, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
        }
    }
    ~Borrowed() {
        if (m_at != nullptr) VirtualFreeEx(m_process, m_at, 0, MEM_RELEASE);
        if (m_process != nullptr) CloseHandle(m_process);
    }
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;

    BYTE* At() const { return m_at; }
    bool Write(SIZE_T offset, const void* data, SIZE_T size) const {
        return m_at != nullptr && WriteProcessMemory(m_process, m_at + offset, data, size, nullptr) != FALSE;
    }
    bool Read(SIZE_T offset, void* data, SIZE_T size) const {
        return m_at != nullptr && ReadProcessMemory(m_process, m_at + offset, data, size, nullptr) != FALSE;
    }

private:
    HANDLE m_process;
    BYTE* m_at = nullptr;
};

// The text of the item selected in the browser's folder tree ("" when none is).
std::wstring SelectedFolderName(const App& app, HWND browser) {
    HWND tree = FindWindowExW(browser, nullptr, WC_TREEVIEWW, nullptr);
    if (tree == nullptr) return L"";
    const LRESULT item = SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0);
    if (item == 0) return L"";
    const SIZE_T textChars = MAX_PATH;
    Borrowed remote(app.ProcessId(), sizeof(TVITEMW) + textChars * sizeof(wchar_t));
    if (remote.At() == nullptr) return L"";
    TVITEMW request = {};
    request.mask = TVIF_TEXT | TVIF_HANDLE;
    request.hItem = reinterpret_cast<HTREEITEM>(item);
    request.pszText = reinterpret_cast<wchar_t*>(remote.At() + sizeof(TVITEMW));
    request.cchTextMax = static_cast<int>(textChars);
    wchar_t text[MAX_PATH] = {};
    if (remote.Write(0, &request, sizeof request) &&
        SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(remote.At())) != 0 &&
        remote.Read(sizeof(TVITEMW), text, sizeof text - sizeof(wchar_t))) {
        return text;
    }
    return L"";
}

// Asks the browser itself to select `path`, as the program does when it opens.
void AskBrowserToSelect(const App& app, HWND browser, const std::wstring& path) {
    const SIZE_T bytes = (path.size() + 1) * sizeof(wchar_t);
    Borrowed remote(app.ProcessId(), bytes);
    if (!remote.Write(0, path.c_str(), bytes)) return;
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(browser, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(remote.At()), SMTO_ABORTIFHUNG,
                        30000, &ignored);
}

// The browser has handled its opening (where the program asks for the preselection) once it is
// shown, which a dialog box is only after that, and its thread answers.
bool BrowserOpened(HWND browser) {
    DWORD_PTR ignored = 0;
    return IsWindowVisible(browser) != FALSE &&
           SendMessageTimeoutW(browser, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored) != 0;
}

// "C: Z:", the drives this Wine session (or system) lists.
std::string DriveList() {
    const DWORD drives = GetLogicalDrives();
    std::string list;
    for (int letter = 0; letter < 26; ++letter) {
        if ((drives & (1u << letter)) == 0) continue;
        if (!list.empty()) list += ' ';
        list += static_cast<char>('A' + letter);
        list += ':';
    }
    return list.empty() ? "none" : list;
}

BOOL CALLBACK FindTitle(HWND child, LPARAM found) {
    if (Text(child) == L"Please Choose Folder...") *reinterpret_cast<bool*>(found) = true;
    return TRUE;
}

void BrowseScenario(Scenario& s) {
    Workspace w;
    // Wine's browser reaches only some folders (not those inside Z: or behind a link): the stored
    // folder is the Windows folder, which every system has.
    wchar_t windowsFolder[MAX_PATH] = {};
    GetWindowsDirectoryW(windowsFolder, MAX_PATH);
    const std::wstring stored = windowsFolder;
    WritePrivateProfileStringW(L"Directories", L"Dst", stored.c_str(), w.ini.c_str());
    // The browser's "My Computer" holds the drives the system lists when it opens, and the stored
    // folder is reached through its drive. Under Wine a session lists a drive once its mount
    // manager has named it.
    const DWORD storedDrive = 1u << (towupper(stored[0]) - L'A');
    WaitUntil([&] { return (GetLogicalDrives() & storedDrive) != 0; }, 60000);
    App app(w.exe, L"");
    HWND dialog = app.WaitForDialog();
    if (dialog == nullptr) return s.Check(false, "dialog did not open");
    s.Equal(ItemText(dialog, IDC_DST_EDIT), stored, "destination field before browsing");
    SetItemText(dialog, IDC_SRC_EDIT, L"C:\\typed");

    Press(dialog, IDC_SRC_BROWSE);
    HWND browser = WaitForBrowser(app, dialog);
    s.Check(browser != nullptr, "the folder browser did not open");
    if (browser == nullptr) return;
    // The window exists some time before the browser has filled its tree and taken the program's
    // preselection, later on a busy machine.
    s.Check(WaitUntil([&] { return BrowserOpened(browser); }, 90000), "the folder browser did not finish opening");
    bool titled = false;
    EnumChildWindows(browser, FindTitle, reinterpret_cast<LPARAM>(&titled));
    s.Check(titled, "the browser does not show \"Please Choose Folder...\"");
    s.Check(GetWindow(browser, GW_OWNER) == nullptr, "the browser has an owner");
    s.Check(IsWindowEnabled(dialog) != FALSE, "the dialog is not usable while the browser is open");
    const std::wstring storedName = stored.substr(stored.find_last_of(L'\\') + 1);
    const std::wstring selected = SelectedFolderName(app, browser);
    if (lstrcmpiW(selected.c_str(), storedName.c_str()) != 0) {
        // Either the program did not ask for the stored folder, or the browser cannot reach it:
        // asked directly, a browser that can reach it selects it now.
        AskBrowserToSelect(app, browser, stored);
        const std::wstring reached = SelectedFolderName(app, browser);
        if (lstrcmpiW(reached.c_str(), storedName.c_str()) != 0) {
            s.Skip("Wine's folder browser cannot select " + Narrow(stored) + " (it shows \"" + Narrow(reached) +
                   "\"; drives this session lists: " + DriveList() + ")");
            PostMessageW(browser, WM_COMMAND, IDCANCEL, 0);
            s.Check(WaitUntil([&] { return !IsWindow(browser); }), "the browser did not close");
            ExitIdle(s, app, dialog);
            return;
        }
        s.Check(false, "the browser opened at \"" + Narrow(selected) +
                           "\", not at the stored folder, which it can select");
    }
    PostMessageW(browser, WM_COMMAND, IDOK, 0);
    s.Check(WaitUntil([&] { return !IsWindow(browser); }), "the browser did not close");
    // It opened at the stored destination, not at the typed text.
    s.Equal(ItemText(dialog, IDC_SRC_EDIT), stored, "source field after OK");

    const std::wstring before = ItemText(dialog, IDC_DST_EDIT);
    Press(dialog, IDC_DST_BROWSE);
    browser = WaitForBrowser(app, dialog);
    s.Check(browser != nullptr, "the folder browser did not open again");
    if (browser != nullptr) PostMessageW(browser, WM_COMMAND, IDCANCEL, 0);
    s.Check(WaitUntil([&] { return app.OtherTopLevels(dialog).empty(); }), "the browser did not close");
    s.Equal(ItemText(dialog, IDC_DST_EDIT), before, "destination field after Cancel");
    ExitIdle(s, app, dialog);
}

// ---------------------------------------------------------------------------------------------
// Unattended mode.

long long RunUnattended(const std::wstring& exe, const std::wstring& arguments) {
    App app(exe, arguments);
    return app.WaitForExit(60000);
}

std::wstring Arg(const std::wstring& key, const std::wstring& path) { return L"\"" + key + path + L"\""; }

void UnattendedMirrorScenario(Scenario& s) {
    Workspace w;
    const std::wstring src = w.Path(L"src"), dst = w.Path(L"dst");
    MakeSmallSource(src);
    WriteSizedFile(dst + L"\\stale.txt", 3);
    MakeDir(dst + L"\\stale folder\\deeper");
    const std::wstring args = L"unattended " + Arg(L"SrcDir=", src) + L" " + Arg(L"DstDir=", dst);
    s.Equal(RunUnattended(w.exe, args + L" NoDelete"), 0, "exit code with NoDelete");
    s.Check(Exists(dst + L"\\sub\\c.bin") && Exists(dst + L"\\stale.txt"), "NoDelete: copied, nothing deleted");
    s.Equal(RunUnattended(w.exe, args + L" keep NoDelete"), 0, "exit code with NoDelete as argument 5");
    s.Check(ListTree(dst) == ListTree(src), "NoDelete as argument 5 did not keep the delete pass");
    WriteSizedFile(dst + L"\\stale.txt", 3);
    WriteSizedFile(src + L"\\sub\\a.bin", 1500);
    s.Equal(RunUnattended(w.exe, args), 0, "exit code");
    s.Check(ListTree(dst) == ListTree(src), "destination is not a mirror of the source");
    s.Equal(static_cast<long long>(FileSize(dst + L"\\sub\\a.bin")), 1500, "a file of another size was replaced");
    s.Check(!Exists(w.ini), "an unattended run wrote settings");
}

void UnattendedFailureScenario(Scenario& s) {
    Workspace w;
    const std::wstring src = w.Path(L"src"), dst = w.Path(L"dst");
    WriteSizedFile(src + L"\\a.txt", 10);
    WriteSizedFile(dst + L"\\a.txt", 5);
    WriteSizedFile(dst + L"\\extra.txt", 7);
    const std::wstring args = L"unattended " + Arg(L"SrcDir=", src) + L" " + Arg(L"DstDir=", dst);
    HANDLE lock = CreateFileW((dst + L"\\a.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    s.Check(lock != INVALID_HANDLE_VALUE, "cannot lock the destination file");
    s.Equal(RunUnattended(w.exe, args), 1, "exit code with a file that cannot be replaced");
    CloseHandle(lock);
    s.Check(Exists(dst + L"\\extra.txt"), "the delete pass ran after a failed copy");
    s.Equal(static_cast<long long>(FileSize(dst + L"\\a.txt")), 5, "the locked file changed");

    const std::vector<std::wstring> before = ListTree(w.root);
    s.Equal(RunUnattended(w.exe, L"unattended SrcDir= " + Arg(L"DstDir=", dst)), 1, "exit code with an empty source");
    s.Equal(RunUnattended(w.exe, L"unattended " + Arg(L"SrcDir=", src) + L" " + Arg(L"DstDir=", src + L"\\copy")), 1,
            "exit code with the destination inside the source");
    s.Check(ListTree(w.root) == before, "a refused run changed files");
    s.Equal(RunUnattended(w.exe, args), 0, "exit code once the file is free");
}

void UnattendedDialogRowsScenario(Scenario& s) {
    Workspace w;
    const std::wstring src = w.Path(L"src"), dst = w.Path(L"dst");
    MakeSmallSource(src);
    const std::wstring rows[] = {
        L"unattended " + Arg(L"SrcDir=", src),
        Arg(L"SrcDir=", src) + L" " + Arg(L"DstDir=", dst) + L" unattended",
        L"unattended " + Arg(L"srcdir=", src) + L" " + Arg(L"DstDir=", dst),
        L"",
    };
    for (const std::wstring& row : rows) {
        App app(w.exe, row);
        HWND dialog = app.WaitForDialog();
        s.Check(dialog != nullptr, "no dialog for: " + Narrow(row));
        if (dialog != nullptr) PostMessageW(dialog, WM_CLOSE, 0, 0);
        s.Equal(app.WaitForExit(), 0, "exit code of the dialog for: " + Narrow(row));
    }
    s.Check(!Exists(dst), "a dialog row ran a pass");

    // The word is searched in the whole command line; argument 1 is not examined.
    const std::wstring named = w.Path(L"unattended");
    WriteSizedFile(named + L"\\x.txt", 4);
    s.Equal(RunUnattended(w.exe, L"x " + Arg(L"SrcDir=", named) + L" " + Arg(L"DstDir=", dst)), 0,
            "exit code when the word is in a path");
    s.Check(Exists(dst + L"\\x.txt"), "the word in a path did not select unattended mode");
    // The first seven characters go, whatever they are: "=<path>" names no folder, so it is refused.
    s.Equal(RunUnattended(w.exe, L"unattended " + Arg(L"xSrcDir=", src) + L" " + Arg(L"DstDir=", dst)), 1,
            "exit code with a misplaced key");
    s.Check(Exists(dst + L"\\x.txt") && !Exists(dst + L"\\sub"), "a misplaced key copied or deleted something");
}

// ---------------------------------------------------------------------------------------------

struct Entry {
    const char* name;
    void (*run)(Scenario&);
};

const Entry kScenarios[] = {
    {"template: dialog 101, its controls and the manifest", TemplateScenario},
    {"program file: version and icon", VersionAndIconScenario},
    {"dialog: its icon and themed controls", LookScenario},
    {"layout: nothing cut, nothing overlapping", LayoutScenario},
    {"dialog: first start without settings", FirstStartScenario},
    {"dialog: start with stored values", StoredValuesScenario},
    {"job: success box, Reporting, cancel while reporting, settings written", SuccessScenario},
    {"job: check box clear leaves extras and reports failure", FailureTextScenario},
    {"job: same folder on both sides", SameFolderScenario},
    {"job: cancel during the copy pass", CancelScenario},
    {"job: button 1 twice starts one job and cancels it", DoublePressScenario},
    {"job: a file that cannot be replaced ends the job silently", LockedFileScenario},
    {"ending: Exit during a copy only cancels the job", ExitDuringCopyScenario},
    {"ending: close box during a job", CloseDuringJobScenario},
    {"ending: close while the result box is open", CloseWhileReportingScenario},
    {"ending: close box without a job", CloseIdleScenario},
    {"keys: Enter is Go and Cancel, Escape is Exit", KeyboardScenario},
    {"refused: empty and overlapping folders", RefusedRootsScenario},
    {"refused: no thread for the job", ThreadRefusedScenario},
    {"long paths: settings path and source longer than MAX_PATH", LongSettingsPathScenario},
    {"browse: opens at the stored destination", BrowseScenario},
    {"unattended: mirror, NoDelete and its place", UnattendedMirrorScenario},
    {"unattended: exit code 1", UnattendedFailureScenario},
    {"unattended: command lines that open the dialog", UnattendedDialogRowsScenario},
};

void MakeManyFiles() {
    g_env.manyFiles = g_env.scratch + L"\\many";
    MakeDir(g_env.manyFiles);
    for (int i = 0; i < kManyFiles; ++i) {
        WriteSizedFile(g_env.manyFiles + L"\\file" + std::to_wstring(i) + L".txt", 100 + static_cast<unsigned>(i % 7));
    }
}

}  // namespace

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 4) {
        std::fprintf(stderr, "usage: twinfold_ui_driver TWINFOLD_EXE NO_THREADS_EXE SCRATCH_FOLDER [NAME_PART]\n");
        return 2;
    }
    // Sizes are read in the display's own pixels, as the per-monitor-aware dialog lays itself out.
    SetProcessDPIAware();
    g_env.exe = argv[1];
    g_env.noThreadsExe = argv[2];
    g_env.scratch = argv[3];
    const std::string filter = argc > 4 ? Narrow(argv[4]) : std::string();
    MakeDir(g_env.scratch);
    const ULONGLONG started = GetTickCount64();
    MakeManyFiles();
    std::printf("prepared a source of %d files (%.1f s)\n", kManyFiles,
                static_cast<double>(GetTickCount64() - started) / 1000.0);

    int passed = 0, failed = 0, skipped = 0;
    for (const Entry& entry : kScenarios) {
        if (!filter.empty() && std::string(entry.name).find(filter) == std::string::npos) continue;
        Scenario scenario(entry.name);
        const ULONGLONG started = GetTickCount64();
        entry.run(scenario);
        const char* outcome = !scenario.Ok() ? "FAIL" : scenario.Skipped() ? "SKIP" : "PASS";
        std::printf("%s %s (%.1f s)\n", outcome, entry.name, static_cast<double>(GetTickCount64() - started) / 1000.0);
        for (const std::string& failure : scenario.Failures()) std::printf("    %s\n", failure.c_str());
        if (scenario.Skipped()) std::printf("    %s\n", scenario.SkipReason().c_str());
        std::fflush(stdout);
        (!scenario.Ok() ? failed : scenario.Skipped() ? skipped : passed)++;
    }
    std::printf("driver: %d passed, %d failed, %d skipped\n", passed, failed, skipped);
    LocalFree(argv);
    return failed == 0 ? 0 : 1;
}
