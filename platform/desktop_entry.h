#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

// The parts of the freedesktop Desktop Entry format that a launcher or an autostart entry needs:
// reading the main group, and writing and reading an Exec line whose program path may hold
// blanks, quotes, backslashes, dollars or percent signs.
class DesktopEntry
{
public:
    // Keys of the "[Desktop Entry]" group with their values unescaped; localised keys
    // ("Name[de]") are kept under their full name. Empty when the text has no such group.
    static QHash<QString, QString> parseMainGroup(const QString& text);

    // A value of type string as it is written in the file: backslash, line breaks and tabs
    // escaped.
    static QString escapeValue(const QString& value);

    // An Exec value (before the string escaping of escapeValue) that runs the program with no
    // arguments, whatever characters its path holds.
    static QString execValue(const QString& programPath);
    // The arguments of an unescaped Exec value, quotes removed and "%%" turned into "%"; field
    // codes such as "%U" are dropped. Nothing when the quoting is broken.
    static std::optional<QStringList> splitExecValue(const QString& value);
};
