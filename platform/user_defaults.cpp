#include "platform/user_defaults.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

UserDefaults::UserDefaults(QString filePath) : m_filePath(std::move(filePath)) { }

UserDefaults UserDefaults::standard()
{
    // An explicit path: QSettings keeps the first XDG_CONFIG_HOME it sees for the whole process.
    const QDir config(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    return UserDefaults(config.filePath(QStringLiteral("Corvalt/corvalt-tray.conf")));
}

bool UserDefaults::boolForKey(const QString& key) const
{
    const QSettings settings(m_filePath, QSettings::IniFormat);
    return settings.value(key, false).toBool();
}

bool UserDefaults::setBool(bool value, const QString& key)
{
    QSettings settings(m_filePath, QSettings::IniFormat);
    settings.setValue(key, value);
    settings.sync();
    return settings.status() == QSettings::NoError;
}
