#include "manager/pid_list_parser.h"

#include <QString>
#include <QStringDecoder>

#include <limits>

namespace {

bool isSpaceSeparator(QChar c)
{
    return c.category() == QChar::Separator_Space;
}

bool isHorizontalSpace(QChar c)
{
    return isSpaceSeparator(c) || c == u'\t';
}

bool isLineBreak(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

bool isOuterWhitespace(QChar c)
{
    const QChar::Category category = c.category();
    const char16_t u = c.unicode();
    return category == QChar::Separator_Space || category == QChar::Separator_Line ||
        category == QChar::Separator_Paragraph || (u >= 0x09 && u <= 0x0D) || u == 0x85;
}

template <typename Predicate>
QStringView trimmed(QStringView text, Predicate isBlank)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin))) {
        ++begin;
    }
    while (end > begin && isBlank(text.at(end - 1))) {
        --end;
    }
    return text.mid(begin, end - begin);
}

// An optional sign and one or more ASCII digits, within the signed 32-bit range.
bool readDecimal(QStringView piece, qint32& value)
{
    qsizetype index = 0;
    bool negative = false;
    if (!piece.isEmpty() && (piece.at(0) == u'+' || piece.at(0) == u'-')) {
        negative = piece.at(0) == u'-';
        index = 1;
    }
    if (index == piece.size()) {
        return false;
    }
    qint64 magnitude = 0;
    for (; index < piece.size(); ++index) {
        const char16_t u = piece.at(index).unicode();
        if (u < u'0' || u > u'9') {
            return false;
        }
        magnitude = magnitude * 10 + (u - u'0');
        if (magnitude > qint64(std::numeric_limits<qint32>::max()) + 1) {
            return false;
        }
    }
    const qint64 signedValue = negative ? -magnitude : magnitude;
    if (signedValue > std::numeric_limits<qint32>::max()) {
        return false;
    }
    value = static_cast<qint32>(signedValue);
    return true;
}

} // namespace

QList<qint32> PidListParser::parse(const QByteArray& searchOutput)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(searchOutput);
    if (decoder.hasError() || text.isEmpty()) {
        return {};
    }

    QList<qint32> ids;
    const QStringView whole = trimmed(QStringView(text), isOuterWhitespace);
    qsizetype pieceStart = 0;
    for (qsizetype index = 0; index <= whole.size(); ++index) {
        if (index < whole.size() && !isLineBreak(whole.at(index))) {
            continue;
        }
        const QStringView piece = trimmed(whole.mid(pieceStart, index - pieceStart), isHorizontalSpace);
        pieceStart = index + 1;
        qint32 value = 0;
        if (!piece.isEmpty() && readDecimal(piece, value)) {
            ids.append(value);
        }
    }
    return ids;
}
