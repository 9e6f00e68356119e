#pragma once

#include <QList>
#include <QPoint>
#include <QRect>
#include <QString>

// One state line of the tray program's test probe, read back.
struct ProbeState
{
    struct Entry
    {
        QString label; // "-" for a separator
        QPoint centre;
    };

    bool valid = false;
    bool trayAvailable = false;
    QRect icon;
    QString toolTip;
    int windows = 0;
    QRect window;
    qulonglong windowId = 0;
    QList<Entry> menuBar;
    QList<Entry> menu;

    static ProbeState parse(const QString& line);
    static bool isStateLine(const QString& line);

    QStringList menuLabels() const;
    // The centre of the menu entry with this label, or nothing.
    std::optional<QPoint> menuEntry(const QString& label) const;
    std::optional<QPoint> menuBarEntry(const QString& label) const;
};
