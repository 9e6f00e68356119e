#include "manager/stale_process_sweep.h"

#include "manager/pid_list_parser.h"
#include "platform/log.h"
#include "platform/process_control.h"

#include <QMetaEnum>
#include <QProcess>

namespace {
constexpr quint32 GracePeriodMicroseconds = 500000;

QString listText(const QList<qint32>& ids)
{
    QStringList parts;
    for (const qint32 id : ids) {
        parts.append(QString::number(id));
    }
    return u'[' + parts.join(QStringLiteral(", ")) + u']';
}
} // namespace

StaleProcessSweep::StaleProcessSweep(QString searchProgram,
                                     QStringList searchArguments,
                                     StaleCopyRule rule,
                                     Emit emitMessage)
    : m_searchProgram(std::move(searchProgram))
    , m_searchArguments(std::move(searchArguments))
    , m_rule(std::move(rule))
    , m_emit(std::move(emitMessage))
{
}

void StaleProcessSweep::run() const
{
    Log::print(u"🔍 Searching for existing corvalt processes...");
    m_emit(QStringLiteral("🔍 Checking for existing corvalt processes...\n"));

    QProcess search;
    search.setProgram(m_searchProgram);
    search.setArguments(m_searchArguments);
    search.setProcessChannelMode(QProcess::MergedChannels);
    search.start(QIODevice::ReadOnly);
    if (!search.waitForStarted(-1)) {
        const char* errorName = QMetaEnum::fromType<QProcess::ProcessError>().valueToKey(search.error());
        Log::print(QStringLiteral("⚠️ Failed to search for existing processes: QProcess::%1: %2")
                       .arg(QString::fromLatin1(errorName), search.errorString()));
        m_emit(QStringLiteral("⚠️ Failed to search for existing processes: %1\n").arg(search.errorString()));
        return;
    }
    search.waitForFinished(-1);

    // This program and its ancestors may carry the pattern in their own command lines (the
    // binary's path, a launcher script); ending them would end us. Another user's processes are
    // theirs, whatever they run. Whatever is not the tool is someone's work that only mentions
    // the word.
    const QSet<qint64> protectedIds = ProcessControl::selfAndAncestors();
    QList<qint32> ids;
    for (const qint32 id : PidListParser::parse(search.readAll())) {
        if (id > 1 && !protectedIds.contains(id) && ProcessControl::belongsToThisUser(id) && m_rule.isToolProcess(id)) {
            ids.append(id);
        }
    }

    if (ids.isEmpty()) {
        Log::print(u"ℹ️ No existing corvalt processes found");
        m_emit(QStringLiteral("ℹ️ No existing corvalt processes found\n"));
        return;
    }

    Log::print(QStringLiteral("🎯 Found %1 corvalt process(es): %2").arg(ids.size()).arg(listText(ids)));
    m_emit(QStringLiteral("🎯 Found %1 existing corvalt process(es), terminating...\n").arg(ids.size()));
    // A process that lives on although it could not be signalled was not ended.
    QList<qint32> survivors;
    for (const qint32 id : ids) {
        Log::print(QStringLiteral("🔨 Killing corvalt process with PID: %1").arg(id));
        ProcessControl::signalProcess(id, ProcessControl::Signal::Terminate);
        ProcessControl::sleepMicroseconds(GracePeriodMicroseconds);
        if (ProcessControl::signalProcess(id, ProcessControl::Signal::Probe)) {
            Log::print(QStringLiteral("⚡️ Force killing stubborn process PID: %1").arg(id));
            if (ProcessControl::signalProcess(id, ProcessControl::Signal::Kill)) {
                continue;
            }
        }
        if (ProcessControl::isAlive(id)) {
            survivors.append(id);
        }
    }
    if (!survivors.isEmpty()) {
        m_emit(QStringLiteral("⚠️ Could not end existing corvalt process(es): %1\n").arg(listText(survivors)));
        Log::print(QStringLiteral("⚠️ Existing corvalt processes still running: ") + listText(survivors));
        return;
    }
    m_emit(QStringLiteral("✅ Cleaned up existing corvalt processes\n"));
    Log::print(u"✅ All existing corvalt processes terminated");
}
