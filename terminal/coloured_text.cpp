#include "terminal/coloured_text.h"

namespace {

constexpr char16_t Backspace = 0x08;
constexpr char16_t CarriageReturn = 0x0D;
constexpr char16_t Esc = 0x1B;
constexpr char16_t Delete = 0x7F;

// As the escape parser reads text: tabs are printed, other controls (C0, DEL, C1) are dropped.
bool isPrinted(char16_t c)
{
    return (c >= 0x20 && c < Delete) || c == u'\t' || c > 0x9F;
}

} // namespace

bool ColouredText::shownText(QStringView raw, QString& shown)
{
    const char16_t* const data = raw.utf16();
    const qsizetype size = raw.size();
    shown.resize(size);
    char16_t* const out = reinterpret_cast<char16_t*>(shown.data());
    qsizetype length = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t c = data[i];
        if (isPrinted(c)) {
            out[length++] = c;
            continue;
        }
        if (c == CarriageReturn || c == Backspace) {
            return false;
        }
        if (c != Esc) {
            continue;
        }
        if (i + 1 == size || data[i + 1] != u'[') {
            return false;
        }
        i += 2;
        while (i < size && ((data[i] >= u'0' && data[i] <= u'9') || data[i] == u';')) {
            ++i;
        }
        if (i == size || data[i] != u'm') {
            return false;
        }
    }
    shown.truncate(length);
    return true;
}
