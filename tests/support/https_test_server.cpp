#include "tests/support/https_test_server.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>

namespace {
QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray reasonFor(int status)
{
    return status == 404 ? "Not Found" : status == 500 ? "Internal Server Error" : status < 400 ? "OK" : "Error";
}
} // namespace

HttpsTestServer::HttpsTestServer(const QString& certificateBase, QObject* parent) : QObject(parent)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(QSslCertificate(readFile(certificateBase + QStringLiteral(".pem")), QSsl::Pem));
    configuration.setPrivateKey(QSslKey(readFile(certificateBase + QStringLiteral(".key")), QSsl::Rsa, QSsl::Pem));
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_server.setSslConfiguration(configuration);
    connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, &HttpsTestServer::onConnection);
}

bool HttpsTestServer::listen(quint16 port)
{
    return m_server.listen(QHostAddress::LocalHost, port);
}

QString HttpsTestServer::origin() const
{
    return QStringLiteral("https://127.0.0.1:%1").arg(port());
}

void HttpsTestServer::onConnection()
{
    while (m_server.hasPendingConnections()) {
        auto* socket = qobject_cast<QSslSocket*>(m_server.nextPendingConnection());
        if (!socket) {
            continue;
        }
        socket->setParent(this);
        connect(socket, &QSslSocket::readyRead, this, [this, socket] { onReadable(socket); });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, socket] { m_pending.remove(socket); });
    }
}

void HttpsTestServer::onReadable(QSslSocket* socket)
{
    QByteArray& buffer = m_pending[socket];
    buffer += socket->readAll();
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        return;
    }
    const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
    buffer.remove(0, end + 4);
    ++m_requests;
    respond(socket, requestLine.size() >= 2 ? requestLine.at(1) : QByteArray("/"));
}

void HttpsTestServer::respond(QSslSocket* socket, const QByteArray& path)
{
    const Route route = m_routes.value(path, Route{404, QByteArrayLiteral("not found\n"), Behaviour::Normal, {}});
    if (route.behaviour == Behaviour::NoAnswer) {
        return;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reasonFor(route.status) + "\r\n";
    head += "Content-Type: application/octet-stream\r\n";
    if (route.announceLength) {
        head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
    }
    if (!route.location.isEmpty()) {
        head += "Location: " + route.location + "\r\n";
    }
    head += "Connection: close\r\n\r\n";
    socket->write(head);

    const qsizetype half = route.body.size() / 2;
    switch (route.behaviour) {
    case Behaviour::Normal:
        socket->write(route.body);
        socket->disconnectFromHost();
        break;
    case Behaviour::Truncate:
        socket->write(route.body.left(half));
        socket->disconnectFromHost();
        break;
    case Behaviour::Reset:
        socket->write(route.body.left(half));
        socket->flush();
        socket->abort();
        break;
    case Behaviour::StallMidBody:
        socket->write(route.body.left(half));
        break;
    case Behaviour::NoAnswer:
        break;
    }
}
