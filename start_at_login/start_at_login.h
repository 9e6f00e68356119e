#pragma once

#include "platform/autostart_entry.h"
#include "platform/settings.h"

#include <QObject>

// The start-at-login switch over the program's autostart entry. The entry is the authority;
// isEnabled mirrors it at each refresh. At the very first launch on an account it switches start
// at login on, once, and remembers that in the settings.
class StartAtLogin : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isEnabled READ isEnabled NOTIFY isEnabledChanged)

public:
    StartAtLogin(AutostartEntry entry, Settings settings, QObject* parent = nullptr);

    bool isEnabled() const { return m_isEnabled; }

    void toggle();

Q_SIGNALS:
    // After every refresh, also when the value stayed the same.
    void isEnabledChanged(bool isEnabled);

private:
    void handleFirstLaunch();
    void enableByDefault();
    void refreshStatus();

    AutostartEntry m_entry;
    Settings m_settings;
    bool m_isEnabled = false;
};
