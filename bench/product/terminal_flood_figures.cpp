#include "terminal_flood_figures.h"

#include <QProcess>
#include <QRegularExpression>

bool TerminalFloodFigures::run(const QString& program, int runs)
{
    QProcess flood;
    flood.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    flood.start(program, {QStringLiteral("--runs"), QString::number(runs)});
    if (!flood.waitForFinished(30 * 60 * 1000) || flood.exitStatus() != QProcess::NormalExit) {
        flood.kill();
        flood.waitForFinished();
        return false;
    }
    return parse(QString::fromUtf8(flood.readAllStandardOutput()));
}

bool TerminalFloodFigures::parse(const QString& output)
{
    m_output = output;
    static const QRegularExpression pipelineLine(
        QStringLiteral(R"(^\((\w)'?\) .*?\s+(\S+ MiB/s|-)\s+(\S+ ms|-)\s+(\S+ MiB|-)\s+(\S+ ms|-)$)"));
    bool inGoals = false;
    for (QString line : output.split(u'\n')) {
        if (line.startsWith(u"Terminal flood: ")) {
            m_heading = line.mid(16);
        } else if (line.startsWith(u"goal ")) {
            inGoals = true;
        } else if (inGoals && line.size() > 40) {
            // Fixed columns, right-aligned: name, measured (18), wanted (14), met (4).
            Goal goal;
            goal.met = line.right(4).trimmed() == u"yes";
            line.chop(5);
            goal.wanted = line.right(14).trimmed();
            line.chop(15);
            goal.measured = line.right(18).trimmed();
            line.chop(18);
            goal.name = line.trimmed();
            m_goals.append(goal);
        } else if (const auto match = pipelineLine.match(line); match.hasMatch() && !line.startsWith(u"(c')")) {
            m_pipelines.insert(match.captured(1),
                               {match.captured(2), match.captured(3), match.captured(4), match.captured(5)});
        }
    }
    return !m_goals.isEmpty() && m_pipelines.contains(QStringLiteral("d"));
}

void TerminalFloodFigures::addTo(FigureTable& table) const
{
    static const QRegularExpression size(QStringLiteral(R"((\d+) MiB of .*median of (\d+ runs?))"));
    const auto heading = size.match(m_heading);
    const QString label = heading.hasMatch()
        ? QStringLiteral("%1 MiB, median of %2, offscreen").arg(heading.captured(1), heading.captured(2))
        : m_heading;
    const Pipeline window = m_pipelines.value(QStringLiteral("d"));
    const Pipeline capture = m_pipelines.value(QStringLiteral("b"));
    const Pipeline plainText = m_pipelines.value(QStringLiteral("c"));
    for (const Goal& goal : m_goals) {
        FigureTable::Row row;
        // The run's description once, on the first of its rows.
        row.figure = &goal == &m_goals.constFirst() ? QStringLiteral("Terminal flood (%1): %2").arg(label, goal.name)
                                                    : QStringLiteral("Terminal flood: %1").arg(goal.name);
        row.goal = QString(goal.wanted)
                       .replace(QStringLiteral(">="), QStringLiteral("≥"))
                       .replace(QStringLiteral("<="), QStringLiteral("≤"));
        row.met = FigureTable::met(goal.met);
        if (goal.name == u"throughput (d) / (b)") {
            row.measured = QStringLiteral("window ") + window.throughput;
            row.reference = QStringLiteral("capture into a QString alone ") + capture.throughput;
            row.ratio = goal.measured;
        } else if (goal.name == u"throughput (d) / (c)") {
            row.measured = QStringLiteral("window ") + window.throughput;
            row.reference = QStringLiteral("QPlainTextEdit ") + plainText.throughput;
            row.ratio = goal.measured;
        } else if (goal.name.contains(u"stall")) {
            row.measured = goal.measured;
            row.reference = QStringLiteral("QPlainTextEdit ") + plainText.stall;
            row.ratio = FigureTable::ratio(goal.measured.section(u' ', 0, 0).toDouble(),
                                           plainText.stall.section(u' ', 0, 0).toDouble());
        } else if (goal.name.contains(u"end of output")) {
            row.measured = goal.measured;
            row.reference = QStringLiteral("QPlainTextEdit ") + plainText.endShown;
            row.ratio = FigureTable::ratio(goal.measured.section(u' ', 0, 0).toDouble(),
                                           plainText.endShown.section(u' ', 0, 0).toDouble());
        } else if (goal.name.contains(u"caps")) {
            row.measured = goal.measured.section(u'(', 1).chopped(1) + QStringLiteral(" above idle");
            row.reference = QStringLiteral("output cap × 3: ") + goal.wanted.section(u'(', 1).chopped(1);
            row.ratio = goal.measured.section(u' ', 0, 0) + QStringLiteral(" caps");
        } else {
            static const QRegularExpression number(QStringLiteral(R"([\d.]+)"));
            row.measured = goal.measured;
            row.reference = QStringLiteral("goal ") + goal.wanted;
            row.ratio = FigureTable::ratio(number.match(goal.measured).captured().toDouble(),
                                           number.match(goal.wanted).captured().toDouble());
        }
        table.add(row);
    }
}
