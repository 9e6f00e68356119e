#include "program_sandbox.h"

#include "tests/support/test_sandbox.h"

#include <QDir>
#include <QFile>

const QString ProgramSandbox::AssetName = QStringLiteral("tool-linux-amd64");

namespace {

// The report goes in place whole: a reader never sees half of it. The descriptor list is taken
// by a child of the tool, which sees exactly what the tool inherited (plus its own listing).
constexpr char ReportPreamble[] = R"sh(report="$HOME/tool-report.txt"
set -- $(cat /proc/$$/stat)
{
    echo "pid=$$"
    echo "group=$5"
    ls -l /proc/self/fd/ | sed -n 's/^.* \([0-9][0-9]*\) -> \(.*\)$/fd=\1 -> \2/p'
} > "$report.part" && mv "$report.part" "$report"
)sh";

} // namespace

ProgramSandbox::ProgramSandbox(const QString& homeName)
    : m_root(QDir::tempPath() + QStringLiteral("/pf-XXXXXX"))
    , m_word(TestSandbox::uniqueWord())
    , m_home(m_root.path() + u'/' + m_word + u'-' + homeName)
{
    QDir().mkpath(m_home);
    QDir().mkpath(runtimeDir());
    QFile::setPermissions(runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QProcessEnvironment ProgramSandbox::environment(const QString& origin, const QString& platform) const
{
    QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
    base.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    base.remove(QStringLiteral("DISPLAY"));
    base.remove(QStringLiteral("WAYLAND_DISPLAY"));
    base.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    return environment(origin, base);
}

QProcessEnvironment ProgramSandbox::environment(const QString& origin, const QProcessEnvironment& base) const
{
    QProcessEnvironment environment = base;
    environment.insert(QStringLiteral("HOME"), m_home);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home + QStringLiteral("/.config"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), m_home + QStringLiteral("/.local/share"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_home + QStringLiteral("/.cache"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
    environment.insert(QStringLiteral("TRAY_TEST_BASE_URL"), origin + QStringLiteral("/static/cli"));
    environment.insert(QStringLiteral("TRAY_TEST_ASSET_NAME"), AssetName);
    environment.insert(QStringLiteral("TRAY_TEST_CA_FILE"), QStringLiteral(TEST_CERT_DIR "/ca.pem"));
    environment.insert(QStringLiteral("TRAY_TEST_SEARCH_WORD"), m_word);
    return environment;
}

QByteArray ProgramSandbox::toolScript(const QByteArray& body)
{
    return QByteArray("#!/bin/sh\n") + ReportPreamble + body;
}

bool ProgramSandbox::installTool(const QByteArray& content) const
{
    QDir().mkpath(installDir());
    QFile file(toolPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size()) {
        return false;
    }
    file.close();
    return file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser |
                               QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup |
                               QFile::ReadOther | QFile::ExeOther);
}

QByteArray ProgramSandbox::installedTool() const
{
    QFile file(toolPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList ProgramSandbox::installDirEntries() const
{
    return QDir(installDir())
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

std::optional<ProgramSandbox::ToolReport> ProgramSandbox::toolReport() const
{
    QFile file(m_home + QStringLiteral("/tool-report.txt"));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    ToolReport report;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("pid=")) {
            report.pid = line.mid(4).toLongLong();
        } else if (line.startsWith("group=")) {
            report.group = line.mid(6).toLongLong();
        } else if (line.startsWith("fd=")) {
            const QString entry = QString::fromUtf8(line.mid(3));
            const qsizetype arrow = entry.indexOf(QStringLiteral(" -> "));
            const int fd = entry.left(arrow).toInt();
            const QString target = entry.mid(arrow + 4);
            // The listing's own descriptor points at the folder being listed.
            if (fd > 2 && !target.startsWith(QStringLiteral("/proc/"))) {
                report.inheritedDescriptors.append(entry);
            }
        }
    }
    return report;
}

void ProgramSandbox::forgetToolReport() const
{
    QFile::remove(m_home + QStringLiteral("/tool-report.txt"));
}
