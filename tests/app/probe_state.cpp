#include "probe_state.h"

#include <QStringList>

namespace {

const QString Prefix = QStringLiteral("🧪 state\t");

QRect parseRect(const QString& text)
{
    const QStringList parts = text.split(u',');
    if (parts.size() != 4) {
        return {};
    }
    return QRect(parts.at(0).toInt(), parts.at(1).toInt(), parts.at(2).toInt(), parts.at(3).toInt());
}

QList<ProbeState::Entry> parseEntries(const QString& text)
{
    QList<ProbeState::Entry> entries;
    if (text.isEmpty()) {
        return entries;
    }
    for (const QString& part : text.split(u'|')) {
        const qsizetype at = part.lastIndexOf(u'@');
        if (at < 0) {
            entries.append({part, {}});
            continue;
        }
        const QStringList xy = part.mid(at + 1).split(u',');
        entries.append({part.left(at), xy.size() == 2 ? QPoint(xy.at(0).toInt(), xy.at(1).toInt()) : QPoint()});
    }
    return entries;
}

std::optional<QPoint> find(const QList<ProbeState::Entry>& entries, const QString& label)
{
    for (const ProbeState::Entry& entry : entries) {
        if (entry.label == label) {
            return entry.centre;
        }
    }
    return std::nullopt;
}

} // namespace

bool ProbeState::isStateLine(const QString& line)
{
    return line.startsWith(Prefix);
}

ProbeState ProbeState::parse(const QString& line)
{
    ProbeState state;
    if (!isStateLine(line)) {
        return state;
    }
    state.valid = true;
    for (const QString& field : line.mid(Prefix.size()).split(u'\t')) {
        const qsizetype equals = field.indexOf(u'=');
        const QString key = field.left(equals);
        const QString value = field.mid(equals + 1);
        if (key == u"tray") {
            state.trayAvailable = value == u"1";
        } else if (key == u"icon") {
            state.icon = parseRect(value);
        } else if (key == u"tooltip") {
            state.toolTip = value;
        } else if (key == u"windows") {
            state.windows = value.toInt();
        } else if (key == u"window") {
            state.window = parseRect(value);
        } else if (key == u"wid") {
            state.windowId = value.toULongLong();
        } else if (key == u"menubar") {
            state.menuBar = parseEntries(value);
        } else if (key == u"menu") {
            state.menu = parseEntries(value);
        }
    }
    return state;
}

QStringList ProbeState::menuLabels() const
{
    QStringList labels;
    for (const Entry& entry : menu) {
        labels.append(entry.label);
    }
    return labels;
}

std::optional<QPoint> ProbeState::menuEntry(const QString& label) const
{
    return find(menu, label);
}

std::optional<QPoint> ProbeState::menuBarEntry(const QString& label) const
{
    return find(menuBar, label);
}
