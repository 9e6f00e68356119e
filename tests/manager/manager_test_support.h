#pragma once

#include "manager/corvalt_manager.h"
#include "manager/tool_process.h"
#include "tests/support/test_sandbox.h"

#include <QDir>
#include <QFile>
#include <QStringList>

// A configuration that keeps a manager inside the sandbox: its home, a loopback server, and a
// search pattern that matches nothing but the test's own processes.
inline ManagerConfig sandboxConfig(const TestSandbox& sandbox,
                                   const QString& origin = QStringLiteral("https://127.0.0.1:9"))
{
    ManagerConfig config;
    config.homeDirectory = sandbox.home();
    config.baseUrl = QUrl(origin + QStringLiteral("/static/cli"));
    config.assetName = QStringLiteral("tool-linux-amd64");
    config.extraCaCertificatesFile = QStringLiteral(TEST_CERT_DIR "/ca.pem");
    config.searchProgram = QStringLiteral("/usr/bin/pgrep");
    config.searchArguments = {QStringLiteral("-f"), TestSandbox::uniqueWord()};
    config.zshPath = QStringLiteral("/bin/zsh");
    config.bashPath = QStringLiteral("/bin/bash");
    return config;
}

// True when every part occurs in the text, each after the end of the one before.
inline bool appearsInOrder(const QString& text, const QStringList& parts)
{
    qsizetype from = 0;
    for (const QString& part : parts) {
        const qsizetype at = text.indexOf(part, from);
        if (at < 0) {
            return false;
        }
        from = at + part.size();
    }
    return true;
}

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Pids whose process group is `group`, zombies included: what /proc still lists.
inline QList<qint64> processesInGroup(qint64 group)
{
    QList<qint64> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid) {
            continue;
        }
        const QByteArray stat = readAll(QStringLiteral("/proc/%1/stat").arg(pid));
        const qsizetype close = stat.lastIndexOf(')');
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (close > 0 && fields.size() > 2 && fields.at(2).toLongLong() == group) {
            pids.append(pid);
        }
    }
    return pids;
}
