#pragma once

#include <QObject>
#include <QPointer>
#include <QTemporaryFile>
#include <QUrl>

#include <chrono>
#include <memory>

class MinisignVerifier;
class QNetworkReply;

// One GET of the tool's build, streamed into a staging file beside the installed tool so that
// the finished file can replace it in one rename. Refuses error statuses, plain-http redirects,
// stalled transfers, oversized bodies and anything that is not a program for this machine;
// never weakens certificate checks. With a public key, also fetches the build's minisign
// signature (its URL + ".minisig") and accepts only a build that it verifies. Has a network stack
// of its own, gone with it: the program downloads once a launch and should not keep one.
class ToolDownload : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Pending,
        Downloaded,
        DownloadFailed,
        StagingFailed,
    };

    struct Limits
    {
        std::chrono::milliseconds stallTimeout;
        qint64 maxBytes;
    };

    ToolDownload(QUrl url, QString stagingDirectory, Limits limits, QObject* parent = nullptr);
    ~ToolDownload() override;

    // An empty key: no signature is fetched or required.
    void start(const QString& extraCaCertificatesFile, const QByteArray& minisignPublicKey);

    Outcome outcome() const { return m_outcome; }
    QString errorString() const { return m_errorString; }
    // The staged body, valid once the outcome is Downloaded; removed with this object unless
    // renamed away.
    QTemporaryFile& stagedFile() { return *m_staged; }

Q_SIGNALS:
    void finished();

private:
    void onReadyRead();
    void onFinished();
    void onSignatureReadyRead();
    void onSignatureFinished();
    bool isProgram();
    QString transferError(const QNetworkReply& reply) const;
    bool stage(const QByteArray& bytes);
    void finishWhenComplete();
    void succeed();
    void fail(Outcome outcome, const QString& description);

    QUrl m_url;
    QString m_stagingDirectory;
    Limits m_limits;
    std::unique_ptr<MinisignVerifier> m_verifier;
    QPointer<QNetworkReply> m_reply;
    QPointer<QNetworkReply> m_signatureReply;
    QByteArray m_head;
    QByteArray m_signature;
    std::unique_ptr<QTemporaryFile> m_staged;
    qint64 m_received = 0;
    bool m_bodyDone = false;
    bool m_signatureDone = false;
    Outcome m_outcome = Outcome::Pending;
    QString m_errorString;
};
