#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSslServer>
#include <QString>

class QSslSocket;

// A small HTTPS/1.1 server on 127.0.0.1 for the tests and the demo, able to misbehave on cue.
class HttpsTestServer : public QObject
{
    Q_OBJECT

public:
    enum class Behaviour {
        Normal,       // status, headers, whole body, close
        Truncate,     // announces the whole length, sends half the body, closes
        StallMidBody, // sends half the body, then nothing more
    };

    struct Route
    {
        int status = 200;
        QByteArray body;
        Behaviour behaviour = Behaviour::Normal;
        QByteArray location;        // for redirects
        bool announceLength = true; // false: no Content-Length, the body ends with the connection
        // Sent with a 200; a request that names either gets a 304 without a body.
        QByteArray entityTag = {};
        QByteArray lastModified = {};
    };

    // certificateBase names a .pem/.key pair, e.g. "<dir>/server".
    explicit HttpsTestServer(const QString& certificateBase, QObject* parent = nullptr);

    bool listen(quint16 port = 0);
    quint16 port() const { return m_server.serverPort(); }
    QString origin() const;

    void setRoute(const QByteArray& path, Route route) { m_routes.insert(path, std::move(route)); }
    int requestCount() const { return m_requests; }
    // Requests with an If-None-Match or If-Modified-Since header.
    int conditionalRequestCount() const { return m_conditionalRequests; }

private:
    void onConnection();
    void respond(QSslSocket* socket, const QByteArray& path, const QByteArray& head);

    QSslServer m_server;
    QHash<QByteArray, Route> m_routes;
    int m_requests = 0;
    int m_conditionalRequests = 0;
};
