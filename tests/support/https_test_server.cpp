#include "tests/support/https_test_server.h"

#include "tests/support/test_sandbox.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>

#include <algorithm>

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
                QByteArrayList lines = buffer.left(end).split('\n');
                buffer.remove(0, end + 4);
                const QByteArray path = lines.takeFirst().split(' ').value(1, QByteArrayLiteral("/"));
                QByteArrayList conditions;
                for (const QByteArray& line : std::as_const(lines)) {
                    if (line.toLower().startsWith("if-")) {
                        conditions.append(line.trimmed());
                    }
                }
                ++m_requests;
                m_conditions[path].append(conditions);
                Q_EMIT requested(path);
                respond(socket, path, conditions);
            }
        });
    }
}

void HttpsTestServer::respond(QSslSocket* socket, const QByteArray& path, const QByteArrayList& conditions)
{
    Route route = m_routes.value(path, Route{404, QByteArrayLiteral("not found\n"), Behaviour::Normal, {}});
    // Either validator is enough here; a real server may weigh them, the client cannot tell.
    const bool unchanged = route.status == 200 &&
        std::any_of(conditions.cbegin(), conditions.cend(), [&route](const QByteArray& condition) {
                               const QByteArray name = condition.left(condition.indexOf(':')).toLower();
                               const QByteArray value = condition.mid(condition.indexOf(':') + 1).trimmed();
                               const QByteArray& current =
                                   name == "if-none-match" ? route.entityTag : route.lastModified;
                               return !current.isEmpty() && value == current;
                           });
    if (unchanged) {
        route.status = 304;
    }
    const QByteArray reason =
        QHash<int, QByteArray>{{304, "Not Modified"}, {404, "Not Found"}, {500, "Internal Server Error"}}.value(
            route.status, route.status < 400 ? "OK" : "Error");
    QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reason +
        "\r\nContent-Type: application/octet-stream\r\n";
    if (route.status == 304) {
        route.body.clear();
        route.announceLength = false;
    }
    if (route.announceLength) {
        head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
    }
    if (!route.entityTag.isEmpty()) {
        head += "ETag: " + route.entityTag + "\r\n";
    }
    if (!route.lastModified.isEmpty()) {
        head += "Last-Modified: " + route.lastModified + "\r\n";
    }
    if (!route.location.isEmpty()) {
        head += "Location: " + route.location + "\r\n";
    }
    const bool whole = route.behaviour == Behaviour::Normal;
    const QByteArray response =
        head + "Connection: close\r\n\r\n" + (whole ? route.body : route.body.left(route.body.size() / 2));
    m_bytesSent += response.size();
    socket->write(response);
    if (route.behaviour != Behaviour::StallMidBody) {
        socket->disconnectFromHost();
    }
}
