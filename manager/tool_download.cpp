#include "manager/tool_download.h"

#include "manager/minisign_verifier.h"
#include "manager/program_check.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace {
// A minisign signature with a trusted comment of the longest size minisign writes.
constexpr qsizetype MaxSignatureBytes = 4096;

constexpr int NotModified = 304;

bool isErrorStatus(const QNetworkReply& reply)
{
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return status.isValid() && (status.toInt() < 200 || status.toInt() > 299);
}

bool answersNotModified(const QNetworkReply& reply)
{
    return reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == NotModified;
}

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
    release();
}

void ToolDownload::start(const QString& extraCaCertificatesFile,
                         const QByteArray& minisignPublicKey,
                         const Validators& installed)
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
    m_network = new QNetworkAccessManager(this);
    m_signatureRequest = request;
    m_signatureRequest.setUrl(QUrl(m_url.toString() + QStringLiteral(".minisig")));
    QNetworkRequest buildRequest = request;
    m_conditional = !installed.isEmpty();
    if (!installed.entityTag.isEmpty()) {
        buildRequest.setRawHeader(QByteArrayLiteral("If-None-Match"), installed.entityTag);
    }
    if (!installed.lastModified.isEmpty()) {
        buildRequest.setRawHeader(QByteArrayLiteral("If-Modified-Since"), installed.lastModified);
    }
    m_reply = m_network->get(buildRequest);
    m_reply->setReadBufferSize(256 * 1024);
    connect(m_reply, &QNetworkReply::readyRead, this, &ToolDownload::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &ToolDownload::onFinished);
    if (minisignPublicKey.isEmpty()) {
        return;
    }
    m_verifier = std::make_unique<MinisignVerifier>(minisignPublicKey);
    // Fetched beside the build; but when the installed build may turn out to be the newest, only
    // once a new one has come, so that a signature fault cannot refuse the build kept.
    if (!m_conditional) {
        fetchSignature();
    }
}

// From the same server with the same checks and limits as the build.
void ToolDownload::fetchSignature()
{
    m_signatureReply = m_network->get(m_signatureRequest);
    connect(m_signatureReply, &QNetworkReply::readyRead, this, &ToolDownload::onSignatureReadyRead);
    connect(m_signatureReply, &QNetworkReply::finished, this, &ToolDownload::onSignatureFinished);
}

void ToolDownload::onReadyRead()
{
    if (m_done) {
        return;
    }
    if (isErrorStatus(*m_reply)) {
        // An error page is never staged; finished() reports the status.
        m_reply->readAll();
        return;
    }
    const qint64 announced = m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    if (announced > m_limits.maxBytes) {
        fail(tr("The download is %1 bytes, more than the %2 allowed").arg(announced).arg(m_limits.maxBytes));
        return;
    }
    const QByteArray bytes = m_reply->readAll();
    m_received += bytes.size();
    if (m_received > m_limits.maxBytes) {
        fail(tr("The download is larger than the %1 bytes allowed").arg(m_limits.maxBytes));
        return;
    }
    // Judged as soon as its first bytes are here: nothing else is ever staged.
    if (m_head.size() < ProgramCheck::HeadSize) {
        m_head += bytes.left(ProgramCheck::HeadSize - m_head.size());
        if (m_head.size() == ProgramCheck::HeadSize && !isProgram()) {
            return;
        }
    }
    if (stage(bytes) && m_verifier) {
        m_verifier->addData(bytes);
    }
}

bool ToolDownload::isProgram()
{
    ProgramCheck check;
    if (!check.isProgram(m_head)) {
        fail(check.errorString());
        return false;
    }
    return true;
}

bool ToolDownload::isTransferred(const QNetworkReply& reply)
{
    if (reply.error() == QNetworkReply::OperationCanceledError) {
        // Only the transfer timeout cancels a reply that we did not abort ourselves.
        m_errorString = tr("No data received for %1 seconds").arg(double(m_limits.stallTimeout.count()) / 1000.0);
    } else if (reply.error() != QNetworkReply::NoError) {
        m_errorString = reply.errorString();
    } else if (isErrorStatus(reply)) {
        // A 304 that nobody asked for is one too: there is no build to keep.
        m_errorString = tr("Error transferring %1 - server replied: %2 %3")
                            .arg(reply.url().toString())
                            .arg(reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt())
                            .arg(reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    } else {
        return true;
    }
    return false;
}

bool ToolDownload::stage(const QByteArray& bytes)
{
    if (!m_staged) {
        auto staged =
            std::make_unique<StagingFile>(QDir(m_stagingDirectory).filePath(QStringLiteral(".download-XXXXXX")));
        if (!staged->openForWriting()) {
            fail(staged->errorString(), true);
            return false;
        }
        m_staged = std::move(staged);
    }
    for (qsizetype offset = 0; offset < bytes.size();) {
        const qint64 written = m_staged->write(bytes.constData() + offset, bytes.size() - offset);
        if (written <= 0) {
            fail(m_staged->errorString(), true);
            return false;
        }
        offset += written;
    }
    return true;
}

void ToolDownload::onFinished()
{
    if (m_done) {
        return;
    }
    if (m_conditional && answersNotModified(*m_reply) && m_reply->error() == QNetworkReply::NoError) {
        m_notModified = true;
        succeed();
        return;
    }
    if (!isTransferred(*m_reply)) {
        fail(m_errorString);
        return;
    }
    m_validators = {m_reply->rawHeader(QByteArrayLiteral("ETag")),
                    m_reply->rawHeader(QByteArrayLiteral("Last-Modified"))};
    onReadyRead();
    if (m_done) {
        return;
    }
    if (m_received == 0) {
        fail(tr("The server sent an empty file"));
        return;
    }
    if (m_head.size() < ProgramCheck::HeadSize && !isProgram()) {
        return;
    }
    if (!m_staged->flush()) {
        fail(m_staged->errorString(), true);
        return;
    }
    m_bodyDone = true;
    if (m_verifier && !m_signatureReply) {
        fetchSignature();
        return;
    }
    finishWhenComplete();
}

void ToolDownload::onSignatureReadyRead()
{
    if (m_done) {
        return;
    }
    const QByteArray bytes = m_signatureReply->readAll();
    if (isErrorStatus(*m_signatureReply)) {
        return;
    }
    m_signature += bytes;
    if (m_signature.size() > MaxSignatureBytes) {
        fail(tr("The signature file is malformed: larger than the %1 bytes of a minisign signature")
                 .arg(MaxSignatureBytes));
    }
}

void ToolDownload::onSignatureFinished()
{
    if (m_done) {
        return;
    }
    if (!isTransferred(*m_signatureReply)) {
        fail(tr("The signature is missing: %1").arg(m_errorString));
        return;
    }
    onSignatureReadyRead();
    if (m_done) {
        return;
    }
    m_signatureDone = true;
    finishWhenComplete();
}

void ToolDownload::finishWhenComplete()
{
    if (!m_bodyDone || (m_verifier && !m_signatureDone)) {
        return;
    }
    if (m_verifier) {
        bool verified = false;
        if (MinisignVerifier::signsWholeFile(m_signature)) {
            // Only the legacy form needs the body again: mapped, never read into memory.
            const qint64 size = m_staged->size();
            uchar* const body = m_staged->map(0, size);
            if (!body) {
                fail(m_staged->errorString(), true);
                return;
            }
            verified = m_verifier->verify(m_signature, QByteArrayView(body, size));
            m_staged->unmap(body);
        } else {
            verified = m_verifier->verify(m_signature);
        }
        if (!verified) {
            fail(m_verifier->errorString());
            return;
        }
    }
    succeed();
}

void ToolDownload::succeed()
{
    m_done = true;
    release();
    Q_EMIT finished(true);
}

void ToolDownload::fail(const QString& description, bool locally)
{
    m_done = true;
    m_failedLocally = locally;
    m_errorString = description;
    m_staged.reset();
    release();
    Q_EMIT finished(false);
}

void ToolDownload::release()
{
    for (QNetworkReply* const reply : {m_reply.data(), m_signatureReply.data()}) {
        if (reply) {
            reply->disconnect(this);
            reply->abort();
        }
    }
}
