#include <sstream>

#include "mirror/size_text.h"

void FormatSize(std::wstring& text, std::uint64_t bytes) {
    struct Unit {
        unsigned shift;
        const wchar_t* leading;   // after the whole number
        const wchar_t* trailing;  // after the remainder in the next smaller unit
    };
    // Largest first; a count equal to a unit's size stays in the range below it (1024 gives 1024B).
    static const Unit kUnits[] = {
        {50, L"PB ", L"TB"}, {40, L"TB ", L"GB"}, {30, L"GB ", L"MB"}, {20, L"MB ", L"KB"}, {10, L"KB ", L"B"},
    };
    std::wostringstream out;
    for (const Unit& unit : kUnits) {
        if (bytes > (std::uint64_t{1} << unit.shift)) {
            out << (bytes >> unit.shift) << unit.leading << ((bytes >> (unit.shift - 10)) & 1023u) << unit.trailing;
            text = out.str();
            return;
        }
    }
    out << bytes << L"B";
    text = out.str();
}
