#include "platform/autostart_entry.h"

#include "platform/desktop_entry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <filesystem>
#include <system_error>

namespace {

const QString EntryName = QStringLiteral("corvalt-tray.desktop");
// Marks the entries this program wrote, wherever it was installed then.
const QString MarkerKey = QStringLiteral("X-Corvalt-Tray");

// Paths name the same program when they resolve to the same file; a path that no longer
// exists only matches itself.
bool sameProgram(const QString& a, const QString& b)
{
    const QString canonicalA = QFileInfo(a).canonicalFilePath();
    const QString canonicalB = QFileInfo(b).canonicalFilePath();
    if (!canonicalA.isEmpty() && !canonicalB.isEmpty()) {
        return canonicalA == canonicalB;
    }
    return QDir::cleanPath(a) == QDir::cleanPath(b);
}

// Read each time: XDG_CONFIG_HOME falls back to ~/.config when unset or not absolute.
QString autostartDirectory()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("autostart"));
}

QString entryText(const QString& programPath)
{
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Corvalt\n"
                          "Comment=Keeps the Corvalt command-line tool installed and running\n"
                          "Exec=%1\n"
                          "Icon=corvalt-tray\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n"
                          "%2=true\n")
        .arg(DesktopEntry::escapeValue(DesktopEntry::execValue(programPath)), MarkerKey);
}

} // namespace

AutostartEntry::AutostartEntry(QString entryPath, QString programPath)
    : m_entryPath(std::move(entryPath)), m_programPath(std::move(programPath))
{
}

AutostartEntry AutostartEntry::forThisProgram()
{
    return AutostartEntry(QDir(autostartDirectory()).filePath(EntryName), QCoreApplication::applicationFilePath());
}

AutostartEntry::Status AutostartEntry::status() const
{
    QFile file(m_entryPath);
    if (!QFileInfo(m_entryPath).isFile()) {
        return QFileInfo(m_entryPath).exists() ? Status::NotOurs : Status::Absent;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return Status::NotOurs;
    }
    const auto values = DesktopEntry::parseMainGroup(QString::fromUtf8(file.readAll()));
    const auto arguments = DesktopEntry::splitExecValue(values.value(QStringLiteral("Exec")));
    if (!arguments || arguments->isEmpty() || !sameProgram(arguments->first(), m_programPath)) {
        return values.value(MarkerKey) == u"true" ? Status::ForAnotherCopy : Status::NotOurs;
    }
    if (values.value(QStringLiteral("Hidden")) == u"true" ||
        values.value(QStringLiteral("X-GNOME-Autostart-enabled")) == u"false") {
        return Status::SwitchedOff;
    }
    return Status::Enabled;
}

bool AutostartEntry::write()
{
    m_errorString.clear();
    if (isOtherProgramsEntry()) {
        return fail(QStringLiteral("cannot write"), m_entryPath, QStringLiteral("another program's entry is there"));
    }
    const QString directory = QFileInfo(m_entryPath).absolutePath();
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(QFile::encodeName(directory).toStdString()), error);
    if (error) {
        return fail(QStringLiteral("cannot create the folder"), directory, QString::fromStdString(error.message()));
    }
    // Written whole or not at all: a desktop reading the folder at login never sees half an entry.
    QSaveFile file(m_entryPath);
    if (!file.open(QIODevice::WriteOnly)) {
        return fail(QStringLiteral("cannot write"), m_entryPath, file.errorString());
    }
    file.write(entryText(m_programPath).toUtf8());
    if (!file.commit()) {
        return fail(QStringLiteral("cannot write"), m_entryPath, file.errorString());
    }
    return true;
}

bool AutostartEntry::remove()
{
    m_errorString.clear();
    if (isOtherProgramsEntry()) {
        return fail(QStringLiteral("cannot remove"), m_entryPath, QStringLiteral("another program's entry is there"));
    }
    QFile file(m_entryPath);
    if (!file.exists() && !QFileInfo(m_entryPath).isSymLink()) {
        return true;
    }
    if (!file.remove()) {
        return fail(QStringLiteral("cannot remove"), m_entryPath, file.errorString());
    }
    return true;
}

bool AutostartEntry::isOtherProgramsEntry() const
{
    // Anything but a file fails on its own, with the system's reason.
    return QFileInfo(m_entryPath).isFile() && status() == Status::NotOurs;
}

bool AutostartEntry::fail(const QString& what, const QString& path, const QString& reason)
{
    m_errorString = QStringLiteral("%1 %2: %3").arg(what, path, reason);
    return false;
}
