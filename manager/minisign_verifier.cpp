#include "manager/minisign_verifier.h"

#include <QCoreApplication>
#include <QList>

#include <algorithm>

namespace {
constexpr qsizetype AlgorithmSize = 2;
constexpr qsizetype KeyIdSize = 8;
constexpr qsizetype SignatureSize = crypto_sign_BYTES;
const QByteArray Legacy = QByteArrayLiteral("Ed");
const QByteArray Prehashed = QByteArrayLiteral("ED");
const QByteArray UntrustedPrefix = QByteArrayLiteral("untrusted comment: ");
const QByteArray TrustedPrefix = QByteArrayLiteral("trusted comment: ");

QString tr(const char* text)
{
    return QCoreApplication::translate("MinisignVerifier", text);
}

// Strict base64 of exactly `size` bytes; empty otherwise.
QByteArray decode(const QByteArray& line, qsizetype size)
{
    const auto decoded = QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == size ? decoded.decoded : QByteArray();
}

// minisign shows a key id as the hexadecimal of a little-endian 64-bit number.
QString keyIdText(const QByteArray& id)
{
    QByteArray reversed = id;
    std::reverse(reversed.begin(), reversed.end());
    return QString::fromLatin1(reversed.toHex().toUpper());
}

// The four lines of a minisign signature file, without line ends; empty for anything else.
QList<QByteArray> signatureLines(const QByteArray& signatureFile)
{
    QList<QByteArray> lines = signatureFile.split('\n');
    if (lines.size() == 5 && lines.constLast().isEmpty()) {
        lines.removeLast();
    }
    for (QByteArray& line : lines) {
        if (line.endsWith('\r')) {
            line.chop(1);
        }
    }
    const bool valid =
        lines.size() == 4 && lines.at(0).startsWith(UntrustedPrefix) && lines.at(2).startsWith(TrustedPrefix);
    return valid ? lines : QList<QByteArray>();
}

// Algorithm, key id and signature, from the second line.
QByteArray signatureOf(const QList<QByteArray>& lines)
{
    return decode(lines.at(1), AlgorithmSize + KeyIdSize + SignatureSize);
}

bool verifies(QByteArrayView signature, QByteArrayView message, const QByteArray& key)
{
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                       reinterpret_cast<const unsigned char*>(message.data()),
                                       quint64(message.size()),
                                       reinterpret_cast<const unsigned char*>(key.constData())) == 0;
}
} // namespace

MinisignVerifier::MinisignVerifier(const QByteArray& publicKey)
{
    if (sodium_init() < 0) {
        return;
    }
    const QByteArray decoded = decode(publicKey.trimmed(), AlgorithmSize + KeyIdSize + crypto_sign_PUBLICKEYBYTES);
    if (decoded.startsWith(Legacy)) {
        m_keyId = decoded.mid(AlgorithmSize, KeyIdSize);
        m_key = decoded.mid(AlgorithmSize + KeyIdSize);
    }
    crypto_generichash_init(&m_hash, nullptr, 0, crypto_generichash_BYTES_MAX);
}

void MinisignVerifier::addData(QByteArrayView bytes)
{
    crypto_generichash_update(&m_hash, reinterpret_cast<const unsigned char*>(bytes.data()), quint64(bytes.size()));
}

bool MinisignVerifier::signsWholeFile(const QByteArray& signatureFile)
{
    const QList<QByteArray> lines = signatureLines(signatureFile);
    return !lines.isEmpty() && signatureOf(lines).startsWith(Legacy);
}

bool MinisignVerifier::verify(const QByteArray& signatureFile, QByteArrayView wholeFile)
{
    if (m_key.isEmpty()) {
        return fail("This build's public key is not a minisign public key");
    }
    const QList<QByteArray> lines = signatureLines(signatureFile);
    if (lines.isEmpty()) {
        return fail("The signature file is malformed: not the four lines of a minisign signature");
    }
    const QByteArray signature = signatureOf(lines);
    const QByteArray globalSignature = decode(lines.at(3), SignatureSize);
    const QByteArray algorithm = signature.left(AlgorithmSize);
    if (globalSignature.isEmpty() || (algorithm != Legacy && algorithm != Prehashed)) {
        return fail("The signature file is malformed: its signature lines are not minisign signatures");
    }
    const QByteArray keyId = signature.mid(AlgorithmSize, KeyIdSize);
    if (keyId != m_keyId) {
        m_errorString = tr("The signature is by another key (%1), not by this build's key (%2)")
                            .arg(keyIdText(keyId), keyIdText(m_keyId));
        return false;
    }
    const QByteArray bodySignature = signature.mid(AlgorithmSize + KeyIdSize);
    bool good = false;
    if (algorithm == Prehashed) {
        QByteArray hash(crypto_generichash_BYTES_MAX, Qt::Uninitialized);
        crypto_generichash_final(&m_hash, reinterpret_cast<unsigned char*>(hash.data()), size_t(hash.size()));
        good = verifies(bodySignature, hash, m_key);
    } else {
        good = verifies(bodySignature, wholeFile, m_key);
    }
    if (!good) {
        return fail("The signature does not match the download");
    }
    // The trusted comment is signed together with the body's signature.
    if (!verifies(globalSignature, bodySignature + lines.at(2).mid(TrustedPrefix.size()), m_key)) {
        return fail("The signature's trusted comment does not match its signature");
    }
    m_errorString.clear();
    return true;
}

bool MinisignVerifier::fail(const char* description)
{
    m_errorString = tr(description);
    return false;
}
