#include "manager/manager_config.h"

#include "manager/build_constants.h"
#include "platform/settings.h"

#include <QDir>

ManagerConfig ManagerConfig::builtIn()
{
    ManagerConfig config;
    config.homeDirectory = QDir::homePath();
    config.settingsFile = Settings::forThisUser().filePath();
    config.baseUrl = QUrl(QStringLiteral(CORVALT_BUILD_BASE_URL));
    config.assetName = QStringLiteral(CORVALT_BUILD_ASSET_NAME);
    config.extraCaCertificatesFile = QStringLiteral(CORVALT_BUILD_EXTRA_CA_CERTS);
    config.minisignPublicKey = QByteArrayLiteral(CORVALT_BUILD_MINISIGN_PUBLIC_KEY);
    config.searchProgram = QStringLiteral("/usr/bin/pgrep");
    config.searchArguments = {QStringLiteral("-f"), QStringLiteral("corvalt")};
    config.zshPath = QStringLiteral("/bin/zsh");
    config.bashPath = QStringLiteral("/bin/bash");
    config.maxOutputBytes = CORVALT_BUILD_OUTPUT_MAX_BYTES;
    return config;
}
