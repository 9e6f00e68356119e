#pragma once

#include <QString>
#include <QStringList>

#include <algorithm>

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

// The lines that begin with one of the prefixes, in order.
inline QStringList linesStartingWith(const QStringList& lines, const QStringList& prefixes)
{
    QStringList selected;
    for (const QString& line : lines) {
        if (std::any_of(prefixes.cbegin(), prefixes.cend(), [&line](const QString& prefix) {
                return line.startsWith(prefix);
            })) {
            selected.append(line);
        }
    }
    return selected;
}
