#pragma once

#include <QString>
#include <QStringList>

// True when every expected line occurs among the lines, each after the one before.
inline bool inOrder(const QStringList& lines, const QStringList& expected)
{
    qsizetype from = 0;
    for (const QString& line : expected) {
        from = lines.indexOf(line, from);
        if (from++ < 0) {
            return false;
        }
    }
    return true;
}

// True when every part occurs in the text, each after the end of the one before.
inline bool inOrder(const QString& text, const QStringList& parts)
{
    qsizetype from = 0;
    for (const QString& part : parts) {
        const qsizetype at = text.indexOf(part, from);
        if (at < 0) {
            return false;
        }
        from = at + part.size();
    }
    return true;
}
