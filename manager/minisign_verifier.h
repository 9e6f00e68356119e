#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <sodium.h>

// Checks a detached minisign signature (Ed25519; the file's BLAKE2b-512 hash as `minisign -S`
// signs by default, or the whole file in the legacy form) and the signature over its trusted
// comment, against one public key built into the program. The file is hashed as it arrives.
class MinisignVerifier
{
public:
    // The public key line that `minisign -G` writes (base64, not the comment line above it).
    explicit MinisignVerifier(const QByteArray& publicKey);

    // Feeds the signed file, in order, as it arrives.
    void addData(QByteArrayView bytes);

    // Whether the signature signs the whole file rather than its hash: then verify() needs it.
    static bool signsWholeFile(const QByteArray& signatureFile);

    // Whether `signatureFile` is a good signature, by this key, of what addData() was given (or
    // of `wholeFile` for the legacy form); if not, errorString() says why. Call once.
    bool verify(const QByteArray& signatureFile, QByteArrayView wholeFile = {});
    const QString& errorString() const { return m_errorString; }

private:
    bool fail(const char* description);

    QString m_errorString;
    QByteArray m_keyId;
    QByteArray m_key;
    crypto_generichash_state m_hash{};
};
