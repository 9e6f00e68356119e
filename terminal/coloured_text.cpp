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

char16_t foldAscii(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? char16_t(c + (u'a' - u'A')) : c;
}

// Folds the character at `i`, a pair of surrogates as one; returns how many it took.
qsizetype foldAt(const char16_t* data, qsizetype i, qsizetype size, char16_t* out)
{
    const char16_t c = data[i];
    if (c < 0x80) {
        out[0] = foldAscii(c);
        return 1;
    }
    if (QChar::isHighSurrogate(c) && i + 1 < size && QChar::isLowSurrogate(data[i + 1])) {
        const char32_t folded = QChar::toCaseFolded(QChar::surrogateToUcs4(c, data[i + 1]));
        out[0] = QChar::highSurrogate(folded);
        out[1] = QChar::lowSurrogate(folded);
        return 2;
    }
    out[0] = QChar::toCaseFolded(c);
    return 1;
}

} // namespace

bool ColouredText::shownText(QStringView raw, QString& shown, Qt::CaseSensitivity sensitivity)
{
    const bool folding = sensitivity == Qt::CaseInsensitive;
    const char16_t* const data = raw.utf16();
    const qsizetype size = raw.size();
    shown.resize(size);
    char16_t* const out = reinterpret_cast<char16_t*>(shown.data());
    qsizetype length = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t c = data[i];
        if (isPrinted(c)) {
            if (!folding || c < 0x80) {
                out[length++] = folding ? foldAscii(c) : c;
                continue;
            }
            // A pair split by a sequence is a pair on screen: folded as fold() would, from there.
            if (QChar::isHighSurrogate(c) && (i + 1 == size || !QChar::isLowSurrogate(data[i + 1]))) {
                return false;
            }
            const qsizetype taken = foldAt(data, i, size, out + length);
            length += taken;
            i += taken - 1;
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

void ColouredText::fold(QStringView text, QString& folded)
{
    const char16_t* const data = text.utf16();
    const qsizetype size = text.size();
    folded.resize(size);
    char16_t* const out = reinterpret_cast<char16_t*>(folded.data());
    for (qsizetype i = 0; i < size;) {
        i += foldAt(data, i, size, out + i);
    }
}
