#pragma once

#include "tests/support/environment_guard.h"

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

// A temporary home for one test: its name begins with a word unique to the run, so that the
// sweep, given that word, finds this run's tools and nothing else. While it lives HOME and
// XDG_CONFIG_HOME point into it; both are restored on destruction, also after a failure.
class TestSandbox
{
public:
    // What the stand-in tools of toolScript() write about themselves when they start.
    struct ToolReport
    {
        qint64 pid = 0;
        qint64 group = 0;
    };

    explicit TestSandbox(const QString& homeName = QStringLiteral("home"));

    const QString& word() const { return m_word; }
    QString root() const { return m_root.path(); }
    const QString& home() const { return m_home; }
    QString installDir() const { return m_home + QStringLiteral("/.corvalt/bin"); }
    QString toolPath() const { return installDir() + QStringLiteral("/corvalt"); }
    // Short, as a socket's path must be.
    QString runtimeDir() const { return m_root.path() + QStringLiteral("/run"); }
    QString autostartEntryPath() const { return m_home + QStringLiteral("/.config/autostart/corvalt-tray.desktop"); }

    // The environment of the program variant under test: this home, the server below
    // `origin`, its authority, the run's sweep word, and the given Qt platform.
    QProcessEnvironment environment(const QString& origin, const QString& platform = QStringLiteral("offscreen")) const;
    QProcessEnvironment environment(const QString& origin, const QProcessEnvironment& base) const;

    // Writes an executable script (mode 0755) with the given body, creating folders; a /bin/sh
    // one unless the body begins with a "#!" line of its own.
    static void writeScript(const QString& path, const QByteArray& body);
    // A /bin/sh tool that first writes its report into the home, then runs `body`.
    static QByteArray toolScript(const QByteArray& body);
    // The report of the tool that started last, once it is complete.
    std::optional<ToolReport> toolReport() const;
    QByteArray installedTool() const;
    // Everything in the install folder, hidden entries included.
    QStringList installDirEntries() const;

    // A name unique to this test run, for command-line patterns that match nothing else.
    static QString uniqueWord();
    // A file's bytes, empty when it cannot be read.
    static QByteArray readFile(const QString& path);
    // The file name of the tool's build on the test server.
    static const QString AssetName;

private:
    QTemporaryDir m_root;
    QString m_word;
    QString m_home;
    EnvironmentGuard m_environment;
};
