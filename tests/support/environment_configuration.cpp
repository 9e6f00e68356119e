// The configuration of the end-to-end test's variant of the tray program: the same code as the
// shipped one, but the server, its authority and the search pattern come from the test through
// the environment, so that the sweep ends only what this test run started.
#include "tests/support/environment_configuration.h"
#include "platform/settings.h"

#include <QDir>

namespace {

QString required(const char* name)
{
    const QString value = qEnvironmentVariable(name);
    if (value.isEmpty()) {
        qFatal("%s must be set", name);
    }
    return value;
}

} // namespace

ManagerConfig configurationFromEnvironment()
{
    const QString word = required("TRAY_TEST_SEARCH_WORD");
    // A short or real pattern would sweep processes that are not this run's.
    if (word.size() < 12 || word.contains(QStringLiteral("corvalt"), Qt::CaseInsensitive)) {
        qFatal("TRAY_TEST_SEARCH_WORD must be unique to the run");
    }
    ManagerConfig config;
    config.homeDirectory = QDir::homePath();
    config.settingsFile = Settings::forThisUser().filePath();
    config.baseUrl = QUrl(required("TRAY_TEST_BASE_URL"));
    config.assetName = required("TRAY_TEST_ASSET_NAME");
    config.extraCaCertificatesFile = required("TRAY_TEST_CA_FILE");
    config.minisignPublicKey = qgetenv("TRAY_TEST_MINISIGN_KEY"); // optional: unsigned builds
    config.searchProgram = QStringLiteral("/usr/bin/pgrep");
    config.searchArguments = {QStringLiteral("-f"), word};
    config.zshPath = QStringLiteral("/bin/zsh");
    config.bashPath = QStringLiteral("/bin/bash");
    return config;
}
