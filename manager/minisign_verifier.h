#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Checks a detached minisign signature (Ed25519; the file's BLAKE2b-512 hash as `minisign -S`
// signs by default, or the whole file in the legacy form) and the signature over its trusted
// comment, against one public key built into the program.
class MinisignVerifier
{
public:
    // The public key line that `minisign -G` writes (base64, not the comment line above it).
    explicit MinisignVerifier(const QByteArray& publicKey);

    // Empty when `signatureFile` is a good signature of `body` by this key; otherwise why not.
    QString refusal(const QByteArray& signatureFile, QByteArrayView body) const;

private:
    QByteArray m_keyId;
    QByteArray m_key;
};
