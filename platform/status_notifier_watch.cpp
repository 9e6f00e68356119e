#include "platform/status_notifier_watch.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

namespace {
const QString WatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
}

StatusNotifierWatch::StatusNotifierWatch(QObject* parent)
    : QObject(parent)
    , m_watcher(WatcherService, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForRegistration)
{
    connect(&m_watcher, &QDBusServiceWatcher::serviceRegistered, this, &StatusNotifierWatch::hostAppeared);
}

bool StatusNotifierWatch::isHostPresent() const
{
    const QDBusConnectionInterface* const bus = QDBusConnection::sessionBus().interface();
    return bus && bus->isServiceRegistered(WatcherService);
}
