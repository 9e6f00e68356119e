#include "manager/log_excerpt.h"

QString LogExcerpt::tail(const QString& text)
{
    if (text.size() <= TailLength) {
        return text;
    }
    qsizetype start = text.size() - TailLength;
    // Never begin inside a surrogate pair.
    if (text.at(start).isLowSurrogate()) {
        ++start;
    }
    return QStringLiteral("[… %1 earlier characters not shown …]").arg(start) + text.mid(start);
}
