#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <optional>

// A temporary home folder for one test, with helpers to write fake tools into it. HOME and
// XDG_CONFIG_HOME point into it for as long as it lives; then they are as they were, unset included.
class TestSandbox
{
public:
    explicit TestSandbox(const QString& homeName = QStringLiteral("home"));
    ~TestSandbox();
    TestSandbox(const TestSandbox&) = delete;
    TestSandbox& operator=(const TestSandbox&) = delete;

    QString root() const { return m_root.path(); }
    QString home() const { return m_home; }
    QString installDir() const { return m_home + QStringLiteral("/.corvalt/bin"); }
    QString toolPath() const { return installDir() + QStringLiteral("/corvalt"); }

    // Writes an executable /bin/sh script (mode 0755) with the given body, creating folders.
    static void writeScript(const QString& path, const QByteArray& body);
    // A name unique to this test run, for command-line patterns that match nothing else.
    static QString uniqueWord();

private:
    QTemporaryDir m_root;
    QString m_home;
    std::optional<QByteArray> m_savedHome;
    std::optional<QByteArray> m_savedConfigHome;
};
