#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

// Everything one run of the tray program needs of its own: a home whose path holds a word
// unique to the run (so that the program's sweep finds this run's tools and nothing else), its
// configuration and runtime folders, and the environment that points the program at a
// loopback server. Never the user's own home.
class ProgramSandbox
{
public:
    // What the stand-in tools write about themselves when they start.
    struct ToolReport
    {
        qint64 pid = 0;
        qint64 group = 0;
        // Descriptors the tool inherited beyond standard input, output and error, as
        // "fd -> target" texts.
        QStringList inheritedDescriptors;
    };

    // `homeName` is appended to the home folder's name, which begins with the run's word.
    explicit ProgramSandbox(const QString& homeName = QStringLiteral("home"));

    bool isValid() const { return m_root.isValid(); }
    const QString& word() const { return m_word; }
    QString root() const { return m_root.path(); }
    const QString& home() const { return m_home; }
    QString installDir() const { return m_home + QStringLiteral("/.corvalt/bin"); }
    QString toolPath() const { return installDir() + QStringLiteral("/corvalt"); }
    // Short, as a socket's path must be.
    QString runtimeDir() const { return m_root.path() + QStringLiteral("/run"); }
    QString settingsPath() const { return m_home + QStringLiteral("/.config/Corvalt/corvalt-tray.conf"); }
    QString autostartEntryPath() const { return m_home + QStringLiteral("/.config/autostart/corvalt-tray.desktop"); }

    // The environment of the program: this home, the server below `origin` serving
    // AssetName, its authority, the run's sweep word, and the given Qt platform.
    QProcessEnvironment environment(const QString& origin, const QString& platform = QStringLiteral("offscreen")) const;
    QProcessEnvironment environment(const QString& origin, const QProcessEnvironment& base) const;

    // A stand-in tool: a /bin/sh script that first writes its report into the home, then runs
    // `body`. The program installs what the server hands out; a test may also put it in place.
    static QByteArray toolScript(const QByteArray& body);
    // Puts a tool in place as an earlier launch would have: the file with mode 0755.
    bool installTool(const QByteArray& content) const;
    // The installed tool's bytes, empty when there is none.
    QByteArray installedTool() const;
    // Everything in the install folder, hidden entries included.
    QStringList installDirEntries() const;

    // The report of the tool that started last, once it is complete.
    std::optional<ToolReport> toolReport() const;
    void forgetToolReport() const;

    // The file name of the tool's build on the test server.
    static const QString AssetName;

private:
    QTemporaryDir m_root;
    QString m_word;
    QString m_home;
};
