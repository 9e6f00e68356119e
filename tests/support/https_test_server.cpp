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
                const QByteArray head = buffer.left(end + 2);
                buffer.remove(0, end + 4);
                ++m_requests;
                m_conditionalRequests += head.contains("\r\nIf-") ? 1 : 0;
                respond(socket, head.left(head.indexOf("\r\n")).split(' ').value(1, QByteArrayLiteral("/")), head);
            }
        });
    }
}

void HttpsTestServer::respond(QSslSocket* socket, const QByteArray& path, const QByteArray& head)
{
    Route route = m_routes.value(path, Route{404, QByteArrayLiteral("not found\n"), Behaviour::Normal, {}});
    const auto names = [&head](const char* header, const QByteArray& value) {
        return !value.isEmpty() && head.contains("\r\n" + QByteArray(header) + ": " + value + "\r\n");
    };
    if (route.status == 200 &&
        (names("If-None-Match", route.entityTag) || names("If-Modified-Since", route.lastModified))) {
        route = {304, {}, Behaviour::Normal, {}, false, route.entityTag, route.lastModified};
    }
    const QByteArray reason =
        QHash<int, QByteArray>{{304, "Not Modified"}, {404, "Not Found"}, {500, "Internal Server Error"}}.value(
            route.status, route.status < 400 ? "OK" : "Error");
    QByteArray response = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reason +
        "\r\nContent-Type: application/octet-stream\r\n";
    const QList<std::pair<const char*, QByteArray>> headers{
        {"Content-Length", route.announceLength ? QByteArray::number(route.body.size()) : QByteArray()},
        {"Location", route.location},
        {"ETag", route.entityTag},
        {"Last-Modified", route.lastModified}};
    for (const auto& [name, value] : headers) {
        if (!value.isEmpty()) {
            response += name + QByteArrayLiteral(": ") + value + "\r\n";
        }
    }
    const bool whole = route.behaviour == Behaviour::Normal;
    socket->write(response + "Connection: close\r\n\r\n" +
                  (whole ? route.body : route.body.left(route.body.size() / 2)));
    if (route.behaviour != Behaviour::StallMidBody) {
        socket->disconnectFromHost();
    }
}
