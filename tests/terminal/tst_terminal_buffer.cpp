#include "manager/output_text.h"
#include "terminal/terminal_buffer.h"

#include <QRandomGenerator>
#include <QTest>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

// The output and the buffer that follows it, reading back what the output still holds.
struct Output
{
    explicit Output(qsizetype maxBytes = 1 << 16) : text(maxBytes) { buffer.setColumns(7); }
    void append(QStringView part) { appended += part.size(), buffer.append(part), buffer.dropFront(text.append(part)); }

    OutputText text;
    qint64 appended = 0;
    TerminalBuffer buffer{[this](qint64 from, qint64 to) {
        return QStringView(text.text()).sliced(from - appended + text.text().size(), to - from);
    }};
};

// The lines as shown, each colour marked where it starts: "{#foregrnd on#backgrnd}".
QString rendered(const TerminalBuffer& buffer)
{
    QStringList lines;
    for (qsizetype i = 0; i < buffer.lineCount(); ++i) {
        const auto [text, runs, simple] = buffer.line(i);
        lines.append(text.toString());
        for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
            const TextStyle& style = run->style;
            const QString marks = (style.hasForeground() ? QColor(style.foreground()).name() : QString()) +
                (style.hasBackground() ? u" on"_s + QColor(style.background()).name() : QString());
            lines.last().insert(run->start, run->start || !marks.isEmpty() ? u'{' + marks.trimmed() + u'}' : u""_s);
        }
    }
    return lines.join(u'\n');
}

} // namespace

// Terminal output as lines, styles and rows, however the pipe cuts it and the output trims it.
class TestTerminalBuffer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void showsWhatATerminalShows_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("shown");
        QTest::newRow("other and broken sequences hidden, colours")
            << u"\033[2J\033[H\033[?25la\033[10;20rb\033[>4;1m\033[1 qc\033]0;title\ad\033]8;;https://e.org\033\\e"
               u"\033]8;;\033\\\033Pq#0\033\\f\033_p\033\\g\033#8h\033(Bi\033=\033cj\033\u00e9\x07\x01\x0b\x7f"
               u"\u0085\u009b!\n\033[31\x18x\033[3\033[32mq\033[9999999999;34mz\033[m\n\033]open\nv\n\033[31\np\n"
               u"\033[31mr\033[0m-\033[92mb\033[m-\033[44;97mo\033[49m\033[101mX\033[39;49m.\033[38;5;196ma"
               u"\033[38;2;1;2;3mb\033[48;5;21mc\033[38:2::10:20:30md\033[48:5:231me\033[39mf\033[49m\033[38;5mg"
               u"\033[0;38;2;300;;7mh\n\033[33mi"_s
            << u"abcdefghij\u00e9!\nx{#00cd00}q{#5078ff}z\n\nv\n\np\n{#f05050}r{}-{#00ff00}b{}-{#ffffff on#5078ff}o"
               u"{#ffffff on#ff6e6e}X{}.{#ff0000}a{#010203}b{#010203 on#0000ff}c{#0a141e on#0000ff}d"
               u"{#0a141e on#ffffff}e{on#ffffff}f{}g{#ff0007}h\n{#cdcd00}i"_s;
        QTest::newRow("colours alone, controls dropped")
            << u"Ne\033[31me\033[32mD\033[mle\tx\x07\x7f\u0085\u00c9\U00010400!\n\033[44mb\033[;m\033[0;34mc"_s
            << u"Ne{#f05050}e{#00cd00}D{}le\tx\u00c9\U00010400!\n{on#5078ff}b{#5078ff}c"_s;
        QTest::newRow("carriage return, erase, moves, backspace")
            << u"progress 10%\rprogress 55%\rprogress 100%\nab\033[31mcdef\r\033[32m12\nk\r\n\033[31mred\r\033[32m"
               u"longer\033[m\n50%\r\033[Kdone\nabcdef\r\033[2Cx\033[0K\nabcdef\rxy\033[1K!\nabcdef\rxy\033[2K!\n"
               u"abcdef\033[3Dx\033[1Gy\033[9G!\nab\bc\b\bZ\n\b\bq\U0001F680\b!"_s
            << u"progress 100%\n{#00cd00}12{#f05050}cdef\n{#00cd00}k\n{#00cd00}longer\ndone\nabx\n  !def\n  !\n"
               u"ybcxef  !\nZc\nq! "_s;
    }

    void redrawsAsATerminalDoes_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("shown");
        QTest::newRow("two-line progress redrawn twice")
            << u"a 1%\nb 1%\n\033[2A\033[2Ka 50%\n\033[2Kb 50%\n\033[2A\033[2Ka 99%\n\033[2Kb 99%\ndone"_s
            << u"a 99%\nb 99%\ndone"_s;
        QTest::newRow("previous and next line, colours kept per cell")
            << u"\033[38;2;0;0;1mok\033[m one\n\033[38;2;0;0;2mtwo\033[m\n\033[2F\033[38;2;0;0;3mO\033[m\033[E\033[1B!"_s
            << u"{#000003}O{#000001}k{} one\n{#000002}two\n!"_s;
        QTest::newRow("save and restore, both forms")
            << u"one\ntwo\nthree\033[s\033[2A\033[3G-\033[u!\n\0337\033[A\033[1;2HX\0338?"_s
            << u"oX-\ntwo\nthree!\n?"_s;
        QTest::newRow("line and column, below the last line blank")
            << u"a\nb\nc\033[99A\033[5Gx\033[3d\033[Gy\033[2Bz"_s << u"a   x\nb\ny\n\n z"_s;
        QTest::newRow("erase below, then above")
            << u"1111\n2222\n3333\n4444\033[2A\033[2G\033[J.\n\033[A\033[1J5"_s << u"\n5.\n"_s;
        QTest::newRow("full erase keeps history, a new screen below")
            << u"old 1\nold 2\n\033[2J\033[Hnew\033[2;1Hsecond\033[1J!"_s << u"old 1\nold 2\n\n      !"_s;
        QTest::newRow("history above the screen never changes")
            << u"l\n"_s.repeated(130) + u"\033[999AT\033[1;1H\033[C\033[999BB"_s
            << u"l\n"_s.repeated(3) + u"T\n"_s + u"l\n"_s.repeated(126) + u" B"_s;
    }

    void redrawsAsATerminalDoes() { showsWhatATerminalShows(); }

    void showsWhatATerminalShows()
    {
        QFETCH(QString, input);
        QFETCH(QString, shown);
        // Whole, then cut at each point, then at random points, as reads of a pipe cut it (the
        // decoder never splits a character).
        QRandomGenerator random(20261206);
        for (qsizetype round = 0; round < input.size() + 40; ++round) {
            Output output;
            qsizetype from = 0;
            for (qsizetype at = 1; at <= input.size(); ++at) {
                const bool cut = round < input.size() ? at == round : random.bounded(3) == 0;
                if (at == input.size() || (cut && !input.at(at).isLowSurrogate())) {
                    output.append(QStringView(input).sliced(from, at - from));
                    from = at;
                }
            }
            QCOMPARE(rendered(output.buffer), shown);
        }
        // Pushed into history, past the lines kept built, each line reads the same for a search,
        // and case-folded when case does not matter.
        Output history;
        history.append(input);
        history.append(u"\n"_s.repeated(TerminalBuffer::ScreenLines * 4));
        QString scratch;
        for (qsizetype line = 0; line < history.buffer.lineCount(); ++line) {
            const QString read = history.buffer.searchText(line, scratch, Qt::CaseSensitive).toString();
            const QString folded = history.buffer.searchText(line, scratch, Qt::CaseInsensitive).toString();
            QCOMPARE(read, history.buffer.lineText(line).toString());
            QCOMPARE(folded, read.toCaseFolded());
        }
    }

    void keepsCountsWhileRedrawsAreTrimmed()
    {
        // Redraws of every kind while the output drops its front, cutting lines the cursor came
        // back to: rows and characters stay the sums of the lines', and the lines stay bounded.
        Output output(1200);
        QRandomGenerator random(7);
        const QStringList moves{u"\033[%1A"_s,
                                u"\033[%1B"_s,
                                u"\033[%1E"_s,
                                u"\033[%1F"_s,
                                u"\033[%1d"_s,
                                u"\033[%1;3H"_s,
                                u"\033[%1J"_s,
                                u"\033[%1K"_s,
                                u"\0337"_s,
                                u"\0338"_s,
                                u"\r\n"_s};
        for (int i = 0; i < 3000; ++i) {
            const QString move = moves.at(random.bounded(moves.size()));
            output.append(QString(random.bounded(30), QChar(u'a' + i % 26)) +
                          QString(move).replace(u"%1"_s, QString::number(random.bounded(4))) +
                          (i % 7 ? u"\u6f22x\n"_s : QString()));
            const TerminalBuffer& buffer = output.buffer;
            qint64 rows = 0;
            qint64 characters = -1;
            for (qsizetype line = 0; line < buffer.lineCount(); ++line) {
                rows += buffer.rowsOfLine(line);
                characters += buffer.lineText(line).size() + 1;
                QCOMPARE(buffer.lineAtRow(buffer.firstRowOfLine(line)), line);
            }
            QCOMPARE(buffer.rowCount(), rows);
            QCOMPARE(buffer.characterCount(), characters);
            QVERIFY(buffer.lineCount() < 600 + TerminalBuffer::ScreenLines);
        }
    }

    void paletteReadsOnBlack()
    {
        // WCAG's contrast against black, and each hue still told by its strongest channels.
        const auto luminance = [](QRgb colour) {
            const auto linear = [](int channel) {
                const double value = channel / 255.0;
                return value <= 0.04045 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
            };
            return 0.2126 * linear(qRed(colour)) + 0.7152 * linear(qGreen(colour)) + 0.0722 * linear(qBlue(colour));
        };
        for (int index = 1; index < 16; ++index) {
            const QRgb colour = TextStyle::paletteColour(index);
            QVERIFY2((luminance(colour) + 0.05) / 0.05 >= 4.5, qPrintable(QString::number(index)));
            const int hue = index % 8;
            if (hue == 0 || hue == 7) {
                continue;
            }
            const int strong =
                std::min({hue & 1 ? qRed(colour) : 255, hue & 2 ? qGreen(colour) : 255, hue & 4 ? qBlue(colour) : 255});
            const int weak =
                std::max({hue & 1 ? 0 : qRed(colour), hue & 2 ? 0 : qGreen(colour), hue & 4 ? 0 : qBlue(colour)});
            QVERIFY2(strong - weak >= 60, qPrintable(QString::number(index)));
        }
    }

    void followsTheTrimmedOutput()
    {
        // The output drops its front as it grows, after a line feed where it can; told the same
        // drops, the buffer shows what a buffer of the rest shows, on the same rows.
        Output output(1200);
        QRandomGenerator random(42);
        for (int i = 0; i < 600; ++i) {
            // Every fifth piece, a line longer than the output keeps, finished or not.
            const QString line = u"\033[3%1mline %2\033[0m %3\r\n"_s.arg(random.bounded(8))
                                     .arg(i)
                                     .arg(QString(random.bounded(12), u'x'));
            output.append(i % 5 ? line.repeated(random.bounded(4)) + u"\u6f22 part %1\rP"_s.arg(i)
                                : QString(random.bounded(1500), u'y') + u"\n"_s.first(random.bounded(2)));
            Output fresh;
            fresh.append(output.text.text());
            QCOMPARE(rendered(output.buffer), rendered(fresh.buffer));
            const auto rows = [row = i % output.buffer.rowCount()](const TerminalBuffer& buffer) {
                return QList<qint64>{
                    buffer.rowCount(), buffer.lineAtRow(row), buffer.firstRowOfLine(buffer.lineAtRow(row))};
            };
            QCOMPARE(rows(output.buffer), rows(fresh.buffer));
        }
        QVERIFY(output.buffer.firstLineNumber() > 100);
    }
};

QTEST_APPLESS_MAIN(TestTerminalBuffer)
#include "tst_terminal_buffer.moc"
