#pragma once

#include "manager/tool_download.h"

#include <QString>
#include <QUrl>

// What the program installed last, kept with its settings (the install folder holds only the
// tool): the server's validators for that build, the key it was verified with, and the
// installed file's identity as git's index keeps one (size, modification and change times,
// inode, device), so that a build changed, replaced or removed on disk since is never taken for
// it. A stat costs microseconds where hashing a 20 MB build costs tens of milliseconds.
class InstalledBuildRecord
{
public:
    explicit InstalledBuildRecord(QString settingsFile);

    // The validators to send for `url`: empty unless the file at `toolPath` is still the build
    // recorded for that URL, verified with `publicKey` (empty for an unsigned build).
    ToolDownload::Validators validatorsFor(const QUrl& url, const QString& toolPath, const QByteArray& publicKey) const;
    // Records the build just installed at `toolPath`, or forgets the last one when the server
    // gave no validators. False, with errorString(), when the settings could not be written.
    bool store(const QUrl& url,
               const QString& toolPath,
               const QByteArray& publicKey,
               const ToolDownload::Validators& validators);
    const QString& errorString() const { return m_errorString; }

private:
    QString m_settingsFile;
    QString m_errorString;
};
