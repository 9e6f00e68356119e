#pragma once

#include <QDBusServiceWatcher>
#include <QObject>

// Tells whether a StatusNotifierItem host (its watcher, "org.kde.StatusNotifierWatcher") is on
// the session bus, and when one appears there: at a panel's late start or after its restart.
// Without a session bus no host is ever present.
class StatusNotifierWatch : public QObject
{
    Q_OBJECT

public:
    explicit StatusNotifierWatch(QObject* parent = nullptr);

    bool isHostPresent() const;

Q_SIGNALS:
    void hostAppeared();

private:
    QDBusServiceWatcher m_watcher;
};
