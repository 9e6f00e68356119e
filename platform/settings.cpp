#include "platform/settings.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

Settings::Settings(QString filePath) : m_filePath(std::move(filePath)) { }

Settings Settings::forThisUser()
{
    // An explicit path: QSettings keeps the first XDG_CONFIG_HOME it sees for the whole process.
    const QDir config(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    return Settings(config.filePath(QStringLiteral("Corvalt/corvalt-tray.conf")));
}

bool Settings::flag(const QString& key) const
{
    const QSettings settings(m_filePath, QSettings::IniFormat);
    return settings.value(key, false).toBool();
}

bool Settings::setFlag(const QString& key, bool value)
{
    QSettings settings(m_filePath, QSettings::IniFormat);
    settings.setValue(key, value);
    settings.sync();
    return settings.status() == QSettings::NoError;
}
