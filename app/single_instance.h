#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

// One running program per user and home folder. The first launch holds a lock file and listens
// on a local socket beside it; a later launch finds the lock taken and asks the holder, through
// the socket, to show its window. A lock left by a crashed holder is taken over.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    // `name` is the base name of the lock and socket in the user's runtime folder.
    explicit SingleInstance(const QString& name, QObject* parent = nullptr);
    ~SingleInstance() override;

    // "corvalt-tray-" and a short digest of the home folder's path.
    static QString nameForThisUser();

    // True when this process is the one instance, and then listens for later launches.
    bool claim();
    // For a later launch: asks the running instance to show its window; true once it confirmed.
    bool askRunningInstanceToShowWindow();

    const QString& errorString() const { return m_errorString; }
    const QString& socketPath() const { return m_socketPath; }

Q_SIGNALS:
    // Another launch asked for the window.
    void showWindowRequested();

private:
    void onConnection();

    QString m_socketPath;
    QLockFile m_lock;
    std::unique_ptr<QLocalServer> m_server;
    QString m_errorString;
};
