#include "app/single_instance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace {

const QByteArray ShowWindowRequest = QByteArrayLiteral("show-window\n");
const QByteArray Confirmation = QByteArrayLiteral("ok\n");
// The holder answers from its event loop, which a sweep of stale tools may hold for a while.
constexpr int AnswerTimeoutMilliseconds = 10000;
// The holder takes the lock and listens in one go; a launch that finds the lock taken but no
// one listening yet tries again for this long.
constexpr int ConnectDeadlineMilliseconds = 3000;

QString runtimeDirectory()
{
    // $XDG_RUNTIME_DIR, private to the user; Qt makes a private fallback when it is unset.
    const QString directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return directory.isEmpty() ? QDir::tempPath() : directory;
}

} // namespace

SingleInstance::SingleInstance(const QString& name, QObject* parent)
    : QObject(parent)
    , m_socketPath(QDir(runtimeDirectory()).filePath(name + QStringLiteral(".socket")))
    , m_lock(QDir(runtimeDirectory()).filePath(name + QStringLiteral(".lock")))
{
    // Only a holder that is gone makes the lock stale, never its age.
    m_lock.setStaleLockTime(0);
}

SingleInstance::~SingleInstance()
{
    if (m_server) {
        m_server->close();
    }
}

QString SingleInstance::nameForThisUser()
{
    const QByteArray home = QDir(QDir::homePath()).canonicalPath().toUtf8();
    const QByteArray digest = QCryptographicHash::hash(home, QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("corvalt-tray-") + QString::fromLatin1(digest);
}

bool SingleInstance::claim()
{
    if (!m_lock.tryLock(0)) {
        m_errorString = m_lock.error() == QLockFile::LockFailedError
            ? QStringLiteral("another instance holds %1").arg(m_socketPath)
            : QStringLiteral("cannot create the lock file beside %1").arg(m_socketPath);
        return m_lock.error() != QLockFile::LockFailedError;
    }
    // With the lock held, a socket file left behind is a crashed holder's.
    QLocalServer::removeServer(m_socketPath);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server.get(), &QLocalServer::newConnection, this, &SingleInstance::onConnection);
    if (!m_server->listen(m_socketPath)) {
        m_errorString = QStringLiteral("cannot listen on %1: %2").arg(m_socketPath, m_server->errorString());
    }
    return true;
}

bool SingleInstance::askRunningInstanceToShowWindow()
{
    const QDeadlineTimer deadline(ConnectDeadlineMilliseconds);
    QLocalSocket socket;
    while (true) {
        socket.connectToServer(m_socketPath);
        if (socket.waitForConnected(ConnectDeadlineMilliseconds)) {
            break;
        }
        if (deadline.hasExpired()) {
            m_errorString = QStringLiteral("cannot reach %1: %2").arg(m_socketPath, socket.errorString());
            return false;
        }
        QThread::msleep(100);
    }
    socket.write(ShowWindowRequest);
    QByteArray answer;
    while (!answer.contains('\n') && socket.waitForReadyRead(AnswerTimeoutMilliseconds)) {
        answer += socket.readAll();
    }
    if (answer != Confirmation) {
        m_errorString = QStringLiteral("no answer on %1").arg(m_socketPath);
        return false;
    }
    return true;
}

void SingleInstance::onConnection()
{
    while (QLocalSocket* const socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            // Requests are tiny; anything longer than one is not ours.
            if (socket->bytesAvailable() > 64) {
                socket->abort();
                return;
            }
            if (!socket->canReadLine()) {
                return;
            }
            if (socket->readLine() == ShowWindowRequest) {
                socket->write(Confirmation);
                socket->flush();
                Q_EMIT showWindowRequested();
            }
            socket->disconnectFromServer();
        });
    }
}
