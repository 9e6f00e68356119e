#pragma once

#include "manager/corvalt_manager.h"
#include "platform/settings.h"
#include "tests/support/test_sandbox.h"

#include <QFile>
#include <QTest>

// A configuration that keeps a manager inside the sandbox: its home, a loopback server, and a
// search word that matches nothing but the test's own processes.
inline ManagerConfig sandboxConfig(const TestSandbox& sandbox,
                                   const QString& origin = QStringLiteral("https://127.0.0.1:9"))
{
    ManagerConfig config;
    config.homeDirectory = sandbox.home();
    config.settingsFile = Settings::forThisUser().filePath();
    config.baseUrl = QUrl(origin + QStringLiteral("/static/cli"));
    config.assetName = TestSandbox::AssetName;
    config.extraCaCertificatesFile = QStringLiteral(TEST_CERT_DIR "/ca.pem");
    config.searchProgram = QStringLiteral("/usr/bin/pgrep");
    config.searchArguments = {QStringLiteral("-f"), sandbox.word()};
    config.zshPath = QStringLiteral("/bin/zsh");
    config.bashPath = QStringLiteral("/bin/bash");
    return config;
}

inline QByteArray readAll(const QString& path)
{
    return TestSandbox::readFile(path);
}
