#include "manager/output_text.h"

#include <algorithm>

OutputText::OutputText(qsizetype maxBytes)
    : m_maxCharacters(std::max<qsizetype>(maxBytes / qsizetype(sizeof(QChar)), 16))
{
    // Room for the bound and a piece past it, reserved once: growing by reallocation on the way
    // would first double the allocation, and its first trim would stall on fresh pages.
    m_text.reserve(m_maxCharacters + m_maxCharacters / 8);
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
    // Moved down in place: remove() would only advance the start, and the allocation would grow
    // to twice the bound, all of it resident.
    std::copy(m_text.cbegin() + cut, m_text.cend(), m_text.begin());
    m_text.truncate(m_text.size() - cut);
    return cut;
}
