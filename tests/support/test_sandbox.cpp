#include "tests/support/test_sandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

const QString TestSandbox::AssetName = QStringLiteral("tool-linux-amd64");

namespace {

constexpr QFile::Permissions Executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser |
    QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;

// The report goes in place whole: a reader never sees half of it.
constexpr char ReportPreamble[] = R"sh(report="$HOME/tool-report.txt"
set -- $(cat /proc/$$/stat)
printf 'pid=%s\ngroup=%s\n' "$$" "$5" > "$report.part" && mv "$report.part" "$report"
)sh";

} // namespace

TestSandbox::TestSandbox(const QString& homeName)
    : m_root(QDir::tempPath() + QStringLiteral("/ts-XXXXXX"))
    , m_word(uniqueWord())
    , m_home(m_root.path() + u'/' + m_word + u'-' + homeName)
    , m_environment({{"HOME", QFile::encodeName(m_home)},
                     {"XDG_CONFIG_HOME", QFile::encodeName(m_home + QStringLiteral("/.config"))}})
{
    QDir().mkpath(m_home);
    QDir().mkdir(runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QProcessEnvironment TestSandbox::environment(const QString& origin, const QString& platform) const
{
    QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
    base.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"}) {
        base.remove(QString::fromLatin1(name));
    }
    return environment(origin, base);
}

QProcessEnvironment TestSandbox::environment(const QString& origin, const QProcessEnvironment& base) const
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

void TestSandbox::writeScript(const QString& path, const QByteArray& body)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(body.startsWith("#!") ? body : "#!/bin/sh\n" + body);
    file.setPermissions(Executable);
}

QByteArray TestSandbox::toolScript(const QByteArray& body)
{
    return QByteArray("#!/bin/sh\n") + ReportPreamble + body;
}

std::optional<TestSandbox::ToolReport> TestSandbox::toolReport() const
{
    // "pid=N\ngroup=N\n", or nothing yet.
    const QList<QByteArray> lines = readFile(m_home + QStringLiteral("/tool-report.txt")).split('\n');
    if (lines.size() < 2) {
        return std::nullopt;
    }
    return ToolReport{lines.at(0).mid(4).toLongLong(), lines.at(1).mid(6).toLongLong()};
}

QByteArray TestSandbox::installedTool() const
{
    return readFile(toolPath());
}

QStringList TestSandbox::installDirEntries() const
{
    return QDir(installDir())
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QString TestSandbox::uniqueWord()
{
    return QStringLiteral("staletest") + QUuid::createUuid().toString(QUuid::Id128).left(12);
}

QByteArray TestSandbox::readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
