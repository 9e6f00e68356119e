#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>

// Everything the manager takes from outside. The shared manager uses builtIn(); tests build
// their own so that they never touch the user's home or the machine's real processes.
struct ManagerConfig
{
    QString homeDirectory;
    // The program's settings file, where the installed build is recorded; empty: not recorded.
    QString settingsFile;
    QUrl baseUrl;
    QString assetName;
    QString extraCaCertificatesFile;
    // The minisign public key line every build must be signed with; empty: builds are unsigned.
    QByteArray minisignPublicKey;
    QString searchProgram;
    // The last argument is the search word, which is also the file name of the tool itself.
    QStringList searchArguments;
    QString zshPath;
    QString bashPath;
    std::chrono::milliseconds downloadStallTimeout{30000};
    qint64 maxDownloadBytes = qint64(512) * 1024 * 1024;
    qsizetype maxOutputBytes = 32 * 1024 * 1024;

    static ManagerConfig builtIn();
};
