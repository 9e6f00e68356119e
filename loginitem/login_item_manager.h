#pragma once

#include "platform/autostart_service.h"
#include "platform/user_defaults.h"

#include <QObject>

// The start-at-login switch. The autostart entry is the authority; isEnabled mirrors it at each
// refresh. At the very first launch on an account it switches start at login on, once.
class LoginItemManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isEnabled READ isEnabled NOTIFY isEnabledChanged)

public:
    LoginItemManager(AutostartService service, UserDefaults defaults, QObject* parent = nullptr);

    // Created on first access from the main thread, for the running program and the user's
    // standard preferences; owned by the application object.
    static LoginItemManager& shared();

    static const QString hasEnabledLoginItemKey;

    bool isEnabled() const { return m_isEnabled; }

    void toggleLoginItem();

Q_SIGNALS:
    // After every refresh, also when the value stayed the same.
    void isEnabledChanged(bool isEnabled);

private:
    void handleFirstLaunch();
    void enableLoginItemByDefault();
    void refreshStatus();

    AutostartService m_service;
    UserDefaults m_defaults;
    bool m_isEnabled = false;
};
