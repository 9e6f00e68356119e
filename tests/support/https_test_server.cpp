#include "tests/support/https_test_server.h"

#include "tests/support/test_sandbox.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>

HttpsTestServer::HttpsTestServer(const QString& certificateBase, QObject* parent) : QObject(parent)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(
        QSslCertificate(TestSandbox::readFile(certificateBase + QStringLiteral(".pem")), QSsl::Pem));
    configuration.setPrivateKey(
        QSslKey(TestSandbox::readFile(certificateBase + QStringLiteral(".key")), QSsl::Rsa, QSsl::Pem));
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
    while (auto* socket = static_cast<QSslSocket*>(m_server.nextPendingConnection())) {
        socket->setParent(this);
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        // The request so far lives with the connection; it is answered once its head is whole.
        connect(socket, &QSslSocket::readyRead, this, [this, socket, buffer = QByteArray()]() mutable {
            buffer += socket->readAll();
            const qsizetype end = buffer.indexOf("\r\n\r\n");
            if (end >= 0) {
                const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
                buffer.remove(0, end + 4);
                ++m_requests;
                respond(socket, requestLine.value(1, QByteArrayLiteral("/")));
            }
        });
    }
}

void HttpsTestServer::respond(QSslSocket* socket, const QByteArray& path)
{
    const Route route = m_routes.value(path, Route{404, QByteArrayLiteral("not found\n"), Behaviour::Normal, {}});
    const QByteArray reason = QHash<int, QByteArray>{{404, "Not Found"}, {500, "Internal Server Error"}}.value(
        route.status, route.status < 400 ? "OK" : "Error");
    QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reason +
        "\r\nContent-Type: application/octet-stream\r\n";
    if (route.announceLength) {
        head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
    }
    if (!route.location.isEmpty()) {
        head += "Location: " + route.location + "\r\n";
    }
    const bool whole = route.behaviour == Behaviour::Normal;
    socket->write(head + "Connection: close\r\n\r\n" + (whole ? route.body : route.body.left(route.body.size() / 2)));
    if (route.behaviour != Behaviour::StallMidBody) {
        socket->disconnectFromHost();
    }
}
