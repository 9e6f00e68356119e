#pragma once

#include <QImage>
#include <QPoint>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A private X display (Xvfb) with, on request, icewm as window manager and tray host. Every
// process started here ends with this object, and dies with the test process if that dies first.
class XSession
{
public:
    explicit XSession(QString trayHostProbe);
    ~XSession();
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    bool startServer();
    bool startWindowManager();
    bool hasTrayHost() const;

    QString display() const { return m_display; }
    QProcessEnvironment environment() const;

    // Runs an X client to its end (bounded); true when it exited 0.
    bool run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr) const;
    bool click(QPoint point, int button = 1) const;
    bool closeWindow(qulonglong windowId) const;
    // Saves the whole screen and returns it.
    QImage screenshot(const QString& path) const;

    // Makes a child die with the process that started it.
    static void dieWithParent(QProcess& process);

private:
    QString m_trayHostProbe;
    QTemporaryDir m_configDir;
    QString m_display;
    std::unique_ptr<QProcess> m_server;
    std::unique_ptr<QProcess> m_windowManager;
};
