#pragma once

#include <QColor>
#include <QtGlobal>

#include <span>

// One parameter of a control sequence: its value (-1 when left empty) and whether it was joined
// to the one before by a colon, as in "38:2::255:0:0".
struct SequenceParameter
{
    int value = -1;
    bool subParameter = false;
};

// How a stretch of terminal text looks: colours and attributes as set by SGR sequences. Packed
// into eight bytes, because every style run of the whole output holds one.
class TextStyle
{
public:
    enum Attribute : quint8 {
        Bold = 0x01,
        Faint = 0x02,
        Italic = 0x04,
        Underline = 0x08,
        Inverse = 0x10,
        Strikeout = 0x20,
    };

    bool hasForeground() const { return m_foreground & ExplicitColour; }
    bool hasBackground() const { return m_background & ExplicitColour; }
    QRgb foreground() const { return qRgb(qRed(m_foreground), qGreen(m_foreground), qBlue(m_foreground)); }
    QRgb background() const { return qRgb(qRed(m_background), qGreen(m_background), qBlue(m_background)); }
    bool has(Attribute attribute) const { return (m_foreground >> AttributeShift) & attribute; }

    void setForeground(QRgb colour);
    void setBackground(QRgb colour);
    void resetForeground();
    void resetBackground();
    void set(Attribute attribute, bool on);

    // Applies the parameters of one SGR sequence (ESC [ ... m) in order.
    void applySelectGraphicRendition(std::span<const SequenceParameter> parameters);

    // The colour of entry `index` of the 256-colour palette: the 16 standard colours, the
    // 6 × 6 × 6 cube and the 24 greys.
    static QRgb paletteColour(int index);

    friend bool operator==(const TextStyle&, const TextStyle&) = default;

private:
    static constexpr quint32 ExplicitColour = 0x01000000;
    static constexpr int AttributeShift = 25;

    // Bits 0-23 colour, bit 24 set when the colour is not the default; the foreground's bits
    // 25-31 hold the attributes.
    quint32 m_foreground = 0;
    quint32 m_background = 0;
};
