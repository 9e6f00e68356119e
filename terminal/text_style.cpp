#include "terminal/text_style.h"

#include <algorithm>
#include <array>
#include <optional>

namespace {

// Every colour but black reads on the black background at a contrast of at least 4.5:1, the
// dark blue, red and magenta of the usual palettes lightened to get there.
constexpr std::array<QRgb, 16> StandardColours = {
    qRgb(0, 0, 0),
    qRgb(240, 80, 80),
    qRgb(0, 205, 0),
    qRgb(205, 205, 0),
    qRgb(80, 120, 255),
    qRgb(215, 80, 215),
    qRgb(0, 205, 205),
    qRgb(229, 229, 229),
    qRgb(127, 127, 127),
    qRgb(255, 110, 110),
    qRgb(0, 255, 0),
    qRgb(255, 255, 0),
    qRgb(130, 160, 255),
    qRgb(255, 120, 255),
    qRgb(0, 255, 255),
    qRgb(255, 255, 255),
};

int clampedByte(int value)
{
    return std::clamp(value, 0, 255);
}

} // namespace

void TextStyle::setForeground(QRgb colour)
{
    m_foreground = (m_foreground & ~0x01FFFFFFu) | ExplicitColour | (colour & 0x00FFFFFFu);
}

void TextStyle::setBackground(QRgb colour)
{
    m_background = ExplicitColour | (colour & 0x00FFFFFFu);
}

void TextStyle::resetForeground()
{
    m_foreground &= ~0x01FFFFFFu;
}

void TextStyle::resetBackground()
{
    m_background = 0;
}

void TextStyle::set(Attribute attribute, bool on)
{
    const quint32 bit = quint32(attribute) << AttributeShift;
    m_foreground = on ? (m_foreground | bit) : (m_foreground & ~bit);
}

QRgb TextStyle::paletteColour(int index)
{
    if (index < 16) {
        return StandardColours.at(std::max(index, 0));
    }
    if (index < 232) {
        static constexpr std::array<int, 6> Levels = {0, 95, 135, 175, 215, 255};
        const int cube = index - 16;
        return qRgb(Levels.at(cube / 36), Levels.at(cube / 6 % 6), Levels.at(cube % 6));
    }
    const int grey = 8 + 10 * (std::min(index, 255) - 232);
    return qRgb(grey, grey, grey);
}

void TextStyle::applySelectGraphicRendition(std::span<const SequenceParameter> parameters)
{
    if (parameters.empty()) {
        *this = TextStyle();
        return;
    }
    size_t i = 0;
    const auto valueAt = [&](size_t index) { return index < parameters.size() ? parameters[index].value : -1; };
    while (i < parameters.size()) {
        const int code = std::max(parameters[i].value, 0);
        // The colon form keeps its sub-parameters with their code; they are skipped together.
        size_t next = i + 1;
        while (next < parameters.size() && parameters[next].subParameter) {
            ++next;
        }
        const bool colonForm = next > i + 1;

        switch (code) {
        case 0:
            *this = TextStyle();
            break;
        case 1:
            set(Bold, true);
            break;
        case 2:
            set(Faint, true);
            break;
        case 3:
            set(Italic, true);
            break;
        case 4:
            // "4:0" switches underlining off; every other underline style counts as underline.
            set(Underline, !(colonForm && valueAt(i + 1) == 0));
            break;
        case 7:
            set(Inverse, true);
            break;
        case 9:
            set(Strikeout, true);
            break;
        case 21:
            set(Underline, true);
            break;
        case 22:
            set(Bold, false);
            set(Faint, false);
            break;
        case 23:
            set(Italic, false);
            break;
        case 24:
            set(Underline, false);
            break;
        case 27:
            set(Inverse, false);
            break;
        case 29:
            set(Strikeout, false);
            break;
        case 39:
            resetForeground();
            break;
        case 49:
            resetBackground();
            break;
        case 38:
        case 48: {
            // "38;5;N", "38;2;R;G;B" and their colon forms "38:5:N", "38:2:R:G:B" and
            // "38:2:SPACE:R:G:B".
            size_t first = i + 1;
            size_t available = colonForm ? next - first : parameters.size() - first;
            std::optional<QRgb> colour;
            size_t used = 0;
            const int kind = valueAt(first);
            if (kind == 5 && available >= 2) {
                colour = paletteColour(std::clamp(valueAt(first + 1), 0, 255));
                used = 2;
            } else if (kind == 2) {
                size_t channels = first + 1;
                if (colonForm && available >= 5) {
                    ++channels; // colour space identifier
                }
                if (channels + 3 <= first + available) {
                    colour = qRgb(clampedByte(valueAt(channels)),
                                  clampedByte(valueAt(channels + 1)),
                                  clampedByte(valueAt(channels + 2)));
                    used = channels + 3 - first;
                }
            }
            if (colour) {
                code == 38 ? setForeground(*colour) : setBackground(*colour);
            }
            if (!colonForm) {
                // A malformed extended colour swallows the rest, as terminals do.
                next = colour ? first + used : parameters.size();
            }
            break;
        }
        default:
            if (code >= 30 && code <= 37) {
                setForeground(paletteColour(code - 30));
            } else if (code >= 40 && code <= 47) {
                setBackground(paletteColour(code - 40));
            } else if (code >= 90 && code <= 97) {
                setForeground(paletteColour(code - 90 + 8));
            } else if (code >= 100 && code <= 107) {
                setBackground(paletteColour(code - 100 + 8));
            }
            break;
        }
        i = next;
    }
}
