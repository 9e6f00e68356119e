#pragma once

#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QTemporaryFile>
#include <QUrl>

#include <chrono>
#include <memory>

class MinisignVerifier;
class QNetworkAccessManager;
class QNetworkReply;

// One GET of the tool's build, streamed into a staging file beside the installed tool so that
// the finished file can replace it in one rename. Refuses error statuses, plain-http redirects,
// stalled transfers, oversized bodies and anything that is not a program for this machine;
// never weakens certificate checks. With a public key, also fetches the build's minisign
// signature (its URL + ".minisig") and accepts only a build that it verifies. Given the
// validators of the installed build, asks only for a newer one. Has a network stack of its own,
// gone with it: the program downloads once a launch and should not keep one.
class ToolDownload : public QObject
{
    Q_OBJECT

public:
    // What a server says identifies a build: its ETag and Last-Modified headers, as sent.
    struct Validators
    {
        QByteArray entityTag;
        QByteArray lastModified;
        bool isEmpty() const { return entityTag.isEmpty() && lastModified.isEmpty(); }
    };

    struct Limits
    {
        std::chrono::milliseconds stallTimeout;
        qint64 maxBytes;
    };

    ToolDownload(QUrl url, QString stagingDirectory, Limits limits, QObject* parent = nullptr);
    ~ToolDownload() override;

    // An empty key: no signature is fetched or required. With validators, the server may answer
    // that the installed build is still the newest.
    void start(const QString& extraCaCertificatesFile,
               const QByteArray& minisignPublicKey,
               const Validators& installed = {});

    // After finished(true): the server confirmed the installed build and nothing was staged.
    bool isNotModified() const { return m_notModified; }
    // After finished(false): whether writing the staged file failed, rather than the transfer.
    bool failedLocally() const { return m_failedLocally; }
    const QString& errorString() const { return m_errorString; }
    const QUrl& url() const { return m_url; }
    // The new build's validators, empty when the server sent none.
    const Validators& validators() const { return m_validators; }
    // The staged body, valid after finished(true) unless not modified; removed with this object
    // unless renamed away.
    QTemporaryFile& stagedFile() { return *m_staged; }

Q_SIGNALS:
    void finished(bool ok);

private:
    void onReadyRead();
    void onFinished();
    void fetchSignature();
    void onSignatureReadyRead();
    void onSignatureFinished();
    bool isProgram();
    bool isTransferred(const QNetworkReply& reply);
    bool stage(const QByteArray& bytes);
    void finishWhenComplete();
    void succeed();
    void fail(const QString& description, bool locally = false);
    void release();

    QUrl m_url;
    QString m_stagingDirectory;
    Limits m_limits;
    std::unique_ptr<MinisignVerifier> m_verifier;
    QNetworkAccessManager* m_network = nullptr;
    QNetworkRequest m_signatureRequest;
    QPointer<QNetworkReply> m_reply;
    QPointer<QNetworkReply> m_signatureReply;
    QByteArray m_head;
    QByteArray m_signature;
    std::unique_ptr<QTemporaryFile> m_staged;
    qint64 m_received = 0;
    bool m_bodyDone = false;
    bool m_signatureDone = false;
    bool m_conditional = false;
    bool m_done = false;
    bool m_notModified = false;
    bool m_failedLocally = false;
    Validators m_validators;
    QString m_errorString;
};
