#pragma once

#include <QByteArray>
#include <QList>

#include <optional>
#include <utility>

// Sets environment variables for as long as it lives; restores them also when a test fails.
class EnvironmentGuard
{
public:
    explicit EnvironmentGuard(const QList<std::pair<const char*, QByteArray>>& variables)
    {
        for (const auto& [name, value] : variables) {
            m_saved.append({name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt});
            qputenv(name, value);
        }
    }
    ~EnvironmentGuard()
    {
        for (const auto& [name, value] : m_saved) {
            value ? qputenv(name, *value) : qunsetenv(name);
        }
    }
    Q_DISABLE_COPY(EnvironmentGuard)

private:
    QList<std::pair<const char*, std::optional<QByteArray>>> m_saved;
};
