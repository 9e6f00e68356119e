#include "terminal/line_wrap.h"

#include <array>
#include <utility>

namespace {

// East Asian wide and fullwidth characters and emoji shown in emoji form by default.
constexpr auto WideRanges = std::to_array<std::pair<char32_t, char32_t>>({
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
    {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},
    {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF},
    {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251},
    {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
});

} // namespace

bool LineWrap::isSimple(QStringView text)
{
    // No early exit, so that the loop vectorises: most text is simple, and all of it is read.
    bool simple = true;
    const char16_t* const data = text.utf16();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = data[i];
        simple &= (c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c <= 0xFF && c != 0xAD);
    }
    return simple;
}

int LineWrap::rows(QStringView text, int columns, Position& position)
{
    scan(text, columns, position, [](const Cell&) {});
    return position.row + 1;
}

int LineWrap::width(char32_t codePoint)
{
    if (codePoint < 0x300) {
        return codePoint == 0xAD ? 0 : 1;
    }
    if (codePoint == 0x200B || codePoint == 0x200C || codePoint == 0x200D || codePoint == 0x2060 ||
        (codePoint >= 0xFE00 && codePoint <= 0xFE0F) || (codePoint >= 0xE0100 && codePoint <= 0xE01EF)) {
        return 0;
    }
    switch (QChar::category(codePoint)) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_Enclosing:
    case QChar::Other_Format:
        return 0;
    default:
        break;
    }
    for (const auto& [first, last] : WideRanges) {
        if (codePoint < first) {
            break;
        }
        if (codePoint <= last) {
            return 2;
        }
    }
    return 1;
}
