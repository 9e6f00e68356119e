#include "tests/support/test_sandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

namespace {

std::optional<QByteArray> saved(const char* name)
{
    return qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
}

void restore(const char* name, const std::optional<QByteArray>& value)
{
    value ? qputenv(name, *value) : qunsetenv(name);
}

} // namespace

TestSandbox::TestSandbox(const QString& homeName)
    : m_home(m_root.path() + u'/' + homeName), m_savedHome(saved("HOME")), m_savedConfigHome(saved("XDG_CONFIG_HOME"))
{
    QDir().mkpath(m_home);
    qputenv("HOME", QFile::encodeName(m_home));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home + QStringLiteral("/.config")));
}

TestSandbox::~TestSandbox()
{
    restore("HOME", m_savedHome);
    restore("XDG_CONFIG_HOME", m_savedConfigHome);
}

void TestSandbox::writeScript(const QString& path, const QByteArray& body)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write("#!/bin/sh\n" + body);
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup |
                        QFile::ReadOther | QFile::ExeOther);
}

QString TestSandbox::uniqueWord()
{
    return QStringLiteral("staletest") + QUuid::createUuid().toString(QUuid::Id128).left(12);
}
