#include "loginitem/login_item_manager.h"

#include "platform/log.h"

#include <QCoreApplication>

const QString LoginItemManager::hasEnabledLoginItemKey = QStringLiteral("hasEnabledLoginItem");

LoginItemManager::LoginItemManager(AutostartService service, UserDefaults defaults, QObject* parent)
    : QObject(parent), m_service(std::move(service)), m_defaults(std::move(defaults))
{
    refreshStatus();
    handleFirstLaunch();
}

LoginItemManager& LoginItemManager::shared()
{
    static LoginItemManager* const instance = [] {
        auto* manager = new LoginItemManager(AutostartService::forThisProgram(), UserDefaults::standard());
        // Owned by the application object, so it goes before Qt does.
        manager->setParent(QCoreApplication::instance());
        return manager;
    }();
    return *instance;
}

void LoginItemManager::handleFirstLaunch()
{
    if (m_defaults.boolForKey(hasEnabledLoginItemKey)) {
        return;
    }
    Log::print(u"🚀 First launch detected, enabling login item by default");
    enableLoginItemByDefault();
    // An unsaved flag would switch start at login on again at every launch, overriding a user
    // who switched it off: say so.
    if (!m_defaults.setBool(true, hasEnabledLoginItemKey)) {
        Log::print(QStringLiteral("⚠️ Could not save %1 in %2").arg(hasEnabledLoginItemKey, m_defaults.filePath()));
    }
    refreshStatus();
}

void LoginItemManager::enableLoginItemByDefault()
{
    if (m_service.registerProgram()) {
        Log::print(u"🔧 Login item enabled by default using SMAppService");
    } else {
        Log::print(QStringLiteral("❌ Failed to enable login item by default: ") + m_service.errorString());
    }
}

void LoginItemManager::toggleLoginItem()
{
    // The entry decides, not isEnabled: the user may have changed it in the desktop's settings.
    const bool enabled = m_service.status() == AutostartService::Status::Enabled;
    const bool succeeded = enabled ? m_service.unregisterProgram() : m_service.registerProgram();
    if (!succeeded) {
        Log::print(QStringLiteral("❌ Failed to toggle login item: ") + m_service.errorString());
        return;
    }
    Log::print(enabled ? u"🔧 Login item disabled using SMAppService" : u"🔧 Login item enabled using SMAppService");
    refreshStatus();
}

void LoginItemManager::refreshStatus()
{
    m_isEnabled = m_service.status() == AutostartService::Status::Enabled;
    Q_EMIT isEnabledChanged(m_isEnabled);
}
