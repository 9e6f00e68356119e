#include "platform/desktop_entry.h"

namespace {

const QString MainGroup = QStringLiteral("[Desktop Entry]");

// Characters that need an argument to be quoted.
bool isReserved(QChar c)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    return reserved.contains(c);
}

// Inside double quotes these four must carry a backslash.
bool needsBackslashInQuotes(QChar c)
{
    return c == u'"' || c == u'`' || c == u'$' || c == u'\\';
}

QString unescapeValue(const QString& raw)
{
    QString value;
    value.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c != u'\\' || i + 1 == raw.size()) {
            value += c;
            continue;
        }
        const QChar next = raw.at(++i);
        switch (next.unicode()) {
        case u's':
            value += u' ';
            break;
        case u'n':
            value += u'\n';
            break;
        case u't':
            value += u'\t';
            break;
        case u'r':
            value += u'\r';
            break;
        case u'\\':
            value += u'\\';
            break;
        default:
            // Not a string escape: left for the Exec quoting rules to read.
            value += u'\\';
            value += next;
        }
    }
    return value;
}

} // namespace

QHash<QString, QString> DesktopEntry::parseMainGroup(const QString& text)
{
    QHash<QString, QString> values;
    bool inGroup = false;
    for (const QStringView line : QStringView(text).split(u'\n')) {
        const QStringView trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u'#')) {
            continue;
        }
        if (trimmed.startsWith(u'[')) {
            inGroup = trimmed == MainGroup;
            continue;
        }
        if (!inGroup) {
            continue;
        }
        const qsizetype equals = trimmed.indexOf(u'=');
        if (equals <= 0) {
            continue;
        }
        const QString key = trimmed.left(equals).trimmed().toString();
        // A key given twice in a group is an error in the format; the first one wins here.
        if (!values.contains(key)) {
            values.insert(key, unescapeValue(trimmed.mid(equals + 1).trimmed().toString()));
        }
    }
    return values;
}

QString DesktopEntry::escapeValue(const QString& value)
{
    QString escaped;
    escaped.reserve(value.size() + 8);
    for (const QChar c : value) {
        switch (c.unicode()) {
        case u'\\':
            escaped += QStringLiteral("\\\\");
            break;
        case u'\n':
            escaped += QStringLiteral("\\n");
            break;
        case u'\t':
            escaped += QStringLiteral("\\t");
            break;
        case u'\r':
            escaped += QStringLiteral("\\r");
            break;
        default:
            escaped += c;
        }
    }
    // Leading blanks of a value are dropped by readers unless escaped.
    if (escaped.startsWith(u' ')) {
        escaped.replace(0, 1, QStringLiteral("\\s"));
    }
    return escaped;
}

QString DesktopEntry::execValue(const QString& programPath)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : programPath) {
        if (needsBackslashInQuotes(c)) {
            quoted += u'\\';
        }
        // A lone percent sign would start a field code.
        if (c == u'%') {
            quoted += u'%';
        }
        quoted += c;
    }
    quoted += u'"';
    return quoted;
}

std::optional<QStringList> DesktopEntry::splitExecValue(const QString& value)
{
    QStringList arguments;
    QString current;
    bool inArgument = false;
    bool quoted = false;
    bool hadFieldCode = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (quoted) {
            if (c == u'"') {
                quoted = false;
            } else if (c == u'\\' && i + 1 < value.size() && needsBackslashInQuotes(value.at(i + 1))) {
                current += value.at(++i);
            } else if (c == u'%' && i + 1 < value.size() && value.at(i + 1) == u'%') {
                current += u'%';
                ++i;
            } else {
                current += c;
            }
            continue;
        }
        if (c == u' ' || c == u'\t' || c == u'\n') {
            if (inArgument && !(hadFieldCode && current.isEmpty())) {
                arguments.append(current);
            }
            current.clear();
            inArgument = false;
            hadFieldCode = false;
            continue;
        }
        inArgument = true;
        if (c == u'"') {
            quoted = true;
        } else if (c == u'%' && i + 1 < value.size()) {
            const QChar code = value.at(++i);
            if (code == u'%') {
                current += u'%';
            } else {
                hadFieldCode = true;
            }
        } else if (c == u'\\' && i + 1 < value.size() && isReserved(value.at(i + 1))) {
            current += value.at(++i);
        } else {
            current += c;
        }
    }
    if (quoted) {
        return std::nullopt;
    }
    if (inArgument && !(hadFieldCode && current.isEmpty())) {
        arguments.append(current);
    }
    return arguments;
}
