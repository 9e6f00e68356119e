#include "manager/output_text.h"

#include <algorithm>

OutputText::OutputText(qsizetype maxBytes)
    : m_maxCharacters(std::max<qsizetype>(maxBytes / qsizetype(sizeof(QChar)), 16))
{
}

qsizetype OutputText::append(QStringView piece)
{
    m_text.append(piece);
    if (m_text.size() <= m_maxCharacters) {
        return 0;
    }
    const qsizetype keep = m_maxCharacters - m_maxCharacters / 4;
    qsizetype cut = m_text.size() - keep;
    // Prefer to cut after a line feed so that no line is shown half; a single huge line is cut
    // where it must be.
    const qsizetype lineEnd = m_text.indexOf(u'\n', cut - 1);
    if (lineEnd >= 0 && lineEnd < m_text.size() - 1) {
        cut = lineEnd + 1;
    } else if (m_text.at(cut).isLowSurrogate()) {
        ++cut;
    }
    m_text.remove(0, cut);
    return cut;
}
