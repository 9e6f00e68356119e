#include "manager/installed_build_record.h"

#include <QFile>
#include <QSettings>

#include <sys/stat.h>

namespace {
const QString Group = QStringLiteral("InstalledBuild");

// Empty when there is no regular file at `path`. Changing the content of a file changes its
// change time, which nobody can set back; replacing it changes its inode.
QString fileIdentity(const QString& path)
{
    struct stat status = {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return {};
    }
    const auto nanoseconds = [](const timespec& time) { return qint64(time.tv_sec) * 1000000000 + time.tv_nsec; };
    return QStringLiteral("%1 %2 %3 %4 %5")
        .arg(qint64(status.st_size))
        .arg(nanoseconds(status.st_mtim))
        .arg(nanoseconds(status.st_ctim))
        .arg(quint64(status.st_ino))
        .arg(quint64(status.st_dev));
}
} // namespace

InstalledBuildRecord::InstalledBuildRecord(QString settingsFile) : m_settingsFile(std::move(settingsFile)) { }

ToolDownload::Validators
InstalledBuildRecord::validatorsFor(const QUrl& url, const QString& toolPath, const QByteArray& publicKey) const
{
    if (m_settingsFile.isEmpty()) {
        return {};
    }
    QSettings settings(m_settingsFile, QSettings::IniFormat);
    settings.beginGroup(Group);
    const QString identity = fileIdentity(toolPath);
    const bool same = settings.status() == QSettings::NoError && !identity.isEmpty() &&
        settings.value(QStringLiteral("url")).toString() == url.toString(QUrl::FullyEncoded) &&
        settings.value(QStringLiteral("publicKey")).toByteArray() == publicKey &&
        settings.value(QStringLiteral("file")).toString() == identity;
    if (!same) {
        return {};
    }
    return {settings.value(QStringLiteral("etag")).toByteArray(),
            settings.value(QStringLiteral("lastModified")).toByteArray()};
}

bool InstalledBuildRecord::store(const QUrl& url,
                                 const QString& toolPath,
                                 const QByteArray& publicKey,
                                 const ToolDownload::Validators& validators)
{
    if (m_settingsFile.isEmpty()) {
        return true;
    }
    QSettings settings(m_settingsFile, QSettings::IniFormat);
    if (validators.isEmpty() && !settings.childGroups().contains(Group)) {
        return true; // a server without validators costs no write at each launch
    }
    settings.remove(Group);
    if (!validators.isEmpty()) {
        settings.beginGroup(Group);
        settings.setValue(QStringLiteral("url"), url.toString(QUrl::FullyEncoded));
        settings.setValue(QStringLiteral("publicKey"), publicKey);
        settings.setValue(QStringLiteral("etag"), validators.entityTag);
        settings.setValue(QStringLiteral("lastModified"), validators.lastModified);
        settings.setValue(QStringLiteral("file"), fileIdentity(toolPath));
        settings.endGroup();
    }
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        m_errorString = QStringLiteral("cannot write %1").arg(m_settingsFile);
        return false;
    }
    return true;
}
