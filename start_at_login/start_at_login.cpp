#include "start_at_login/start_at_login.h"

#include "platform/log.h"

namespace {
// Set once start at login has been switched on by default, so that it never is again.
const QString EnabledByDefaultKey = QStringLiteral("hasEnabledLoginItem");
} // namespace

StartAtLogin::StartAtLogin(AutostartEntry entry, Settings settings, QObject* parent)
    : QObject(parent), m_entry(std::move(entry)), m_settings(std::move(settings))
{
    refreshStatus();
    handleFirstLaunch();
}

void StartAtLogin::handleFirstLaunch()
{
    if (m_settings.flag(EnabledByDefaultKey)) {
        return;
    }
    Log::print(u"🚀 First launch detected, enabling login item by default");
    enableByDefault();
    // An unsaved flag would switch start at login on again at every launch, overriding a user
    // who switched it off: say so.
    if (!m_settings.setFlag(EnabledByDefaultKey, true)) {
        Log::print(QStringLiteral("⚠️ Could not save %1 in %2").arg(EnabledByDefaultKey, m_settings.filePath()));
    }
    refreshStatus();
}

void StartAtLogin::enableByDefault()
{
    if (m_entry.write()) {
        Log::print(u"🔧 Login item enabled by default using SMAppService");
    } else {
        Log::print(QStringLiteral("❌ Failed to enable login item by default: ") + m_entry.errorString());
    }
}

void StartAtLogin::toggle()
{
    // The entry decides, not isEnabled: the user may have changed it in the desktop's settings.
    const bool enabled = m_entry.status() == AutostartEntry::Status::Enabled;
    const bool succeeded = enabled ? m_entry.remove() : m_entry.write();
    if (!succeeded) {
        Log::print(QStringLiteral("❌ Failed to toggle login item: ") + m_entry.errorString());
        return;
    }
    Log::print(enabled ? u"🔧 Login item disabled using SMAppService" : u"🔧 Login item enabled using SMAppService");
    refreshStatus();
}

void StartAtLogin::refreshStatus()
{
    m_isEnabled = m_entry.status() == AutostartEntry::Status::Enabled;
    Q_EMIT isEnabledChanged(m_isEnabled);
}
