#include "manager/tool_download.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace {
// Written unbuffered, a short write surfaces as the system's own error (a full disk, say) on
// the next write instead of as an unexplained failure at flush time.
class StagingFile : public QTemporaryFile
{
public:
    using QTemporaryFile::QTemporaryFile;
    bool openForWriting() { return open(QIODevice::ReadWrite | QIODevice::Unbuffered); }
};
} // namespace

ToolDownload::ToolDownload(QUrl url, QString stagingDirectory, Limits limits, QObject* parent)
    : QObject(parent), m_url(std::move(url)), m_stagingDirectory(std::move(stagingDirectory)), m_limits(limits)
{
}

ToolDownload::~ToolDownload()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
}

void ToolDownload::start(const QString& extraCaCertificatesFile)
{
    QNetworkRequest request(m_url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(int(m_limits.stallTimeout.count()));
    if (!extraCaCertificatesFile.isEmpty()) {
        // Added to the system's authorities, never instead of them; verification stays on.
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setCaCertificates(QSslConfiguration::systemCaCertificates() +
                              QSslCertificate::fromPath(extraCaCertificatesFile, QSsl::Pem));
        request.setSslConfiguration(ssl);
    }
    auto* const network = new QNetworkAccessManager(this);
    m_reply = network->get(request);
    m_reply->setReadBufferSize(256 * 1024);
    connect(m_reply, &QNetworkReply::readyRead, this, &ToolDownload::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &ToolDownload::onFinished);
}

void ToolDownload::onReadyRead()
{
    if (m_outcome != Outcome::Pending) {
        return;
    }
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
        // An error page is never staged; finished() reports the status.
        m_reply->readAll();
        return;
    }
    const qint64 announced = m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    if (announced > m_limits.maxBytes) {
        fail(Outcome::DownloadFailed,
             tr("The download is %1 bytes, more than the %2 allowed").arg(announced).arg(m_limits.maxBytes));
        return;
    }
    const QByteArray bytes = m_reply->readAll();
    m_received += bytes.size();
    if (m_received > m_limits.maxBytes) {
        fail(Outcome::DownloadFailed, tr("The download is larger than the %1 bytes allowed").arg(m_limits.maxBytes));
        return;
    }
    stage(bytes);
}

bool ToolDownload::stage(const QByteArray& bytes)
{
    if (!m_staged) {
        auto staged =
            std::make_unique<StagingFile>(QDir(m_stagingDirectory).filePath(QStringLiteral(".download-XXXXXX")));
        if (!staged->openForWriting()) {
            fail(Outcome::StagingFailed, staged->errorString());
            return false;
        }
        m_staged = std::move(staged);
    }
    for (qsizetype offset = 0; offset < bytes.size();) {
        const qint64 written = m_staged->write(bytes.constData() + offset, bytes.size() - offset);
        if (written <= 0) {
            fail(Outcome::StagingFailed, m_staged->errorString());
            return false;
        }
        offset += written;
    }
    return true;
}

void ToolDownload::onFinished()
{
    if (m_outcome != Outcome::Pending) {
        return;
    }
    if (m_reply->error() == QNetworkReply::OperationCanceledError) {
        // Only the transfer timeout cancels a reply that we did not abort ourselves.
        fail(Outcome::DownloadFailed,
             tr("No data received for %1 seconds").arg(double(m_limits.stallTimeout.count()) / 1000.0));
        return;
    }
    if (m_reply->error() != QNetworkReply::NoError) {
        fail(Outcome::DownloadFailed, m_reply->errorString());
        return;
    }
    onReadyRead();
    if (m_outcome != Outcome::Pending) {
        return;
    }
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299) {
        const QString reason = m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        fail(Outcome::DownloadFailed,
             tr("Error transferring %1 - server replied: %2 %3").arg(m_url.toString()).arg(status).arg(reason));
        return;
    }
    if (m_received == 0) {
        fail(Outcome::DownloadFailed, tr("The server sent an empty file"));
        return;
    }
    if (!m_staged->flush()) {
        fail(Outcome::StagingFailed, m_staged->errorString());
        return;
    }
    m_outcome = Outcome::Downloaded;
    m_reply->deleteLater();
    Q_EMIT finished();
}

void ToolDownload::fail(Outcome outcome, const QString& description)
{
    m_outcome = outcome;
    m_errorString = description;
    m_staged.reset();
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
    Q_EMIT finished();
}
