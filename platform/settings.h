#pragma once

#include <QString>

// The program's settings file, in which a flag never set reads as false.
class Settings
{
public:
    explicit Settings(QString filePath);

    // $XDG_CONFIG_HOME/Corvalt/corvalt-tray.conf (by default under ~/.config), looked up anew on
    // each call.
    static Settings forThisUser();

    const QString& filePath() const { return m_filePath; }

    bool flag(const QString& key) const;
    // False when the file could not be written.
    bool setFlag(const QString& key, bool value);

private:
    QString m_filePath;
};
