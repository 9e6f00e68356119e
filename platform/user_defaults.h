#pragma once

#include <QString>

// The per-user preference store: one settings file, in which a flag never set reads as false.
class UserDefaults
{
public:
    explicit UserDefaults(QString filePath);

    // $XDG_CONFIG_HOME/Corvalt/corvalt-tray.conf (by default under ~/.config), looked up anew on
    // each call.
    static UserDefaults standard();

    const QString& filePath() const { return m_filePath; }

    bool boolForKey(const QString& key) const;
    // False when the file could not be written.
    bool setBool(bool value, const QString& key);

private:
    QString m_filePath;
};
