#include "manager/output_text.h"
#include "terminal_test_support.h"

#include <QRandomGenerator>
#include <QTest>

// Terminal output as lines and style runs: SGR styles, hidden sequences, "\r", erasing, split
// sequences, trimming the front as the output does, and wrapping into rows.
class TestTerminalBuffer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void linesAndLineBreaks();
    void basicAndBrightColours();
    void extendedAndDefaultColours();
    void attributesOnAndOff();
    void otherSequencesAreHidden_data();
    void otherSequencesAreHidden();
    void sequencesSplitAnywhere();
    void lineFeedEndsABrokenSequence();
    void carriageReturnRedrawsInPlace();
    void eraseInLineAndBackspace();
    void droppingTheFrontFollowsTheOutput();
    void aLineCutInsideKeepsItsEnd();
    void wrapsIntoRows();
    void textBetweenPoints();

private:
    static QStringList runs(const TerminalBuffer& buffer, qsizetype line);
    static QString describe(const TextStyle& style);
};

QString TestTerminalBuffer::describe(const TextStyle& style)
{
    QStringList parts;
    static const QList<QPair<TextStyle::Attribute, QString>> names = {
        {TextStyle::Bold, QStringLiteral("bold")},
        {TextStyle::Faint, QStringLiteral("faint")},
        {TextStyle::Italic, QStringLiteral("italic")},
        {TextStyle::Underline, QStringLiteral("underline")},
        {TextStyle::Inverse, QStringLiteral("inverse")},
        {TextStyle::Strikeout, QStringLiteral("strikeout")},
    };
    for (const auto& [attribute, name] : names) {
        if (style.has(attribute)) {
            parts.append(name);
        }
    }
    if (style.hasForeground()) {
        parts.append(QStringLiteral("fg ") + QColor(style.foreground()).name().mid(1));
    }
    if (style.hasBackground()) {
        parts.append(QStringLiteral("bg ") + QColor(style.background()).name().mid(1));
    }
    return parts.isEmpty() ? QStringLiteral("default") : parts.join(u' ');
}

QStringList TestTerminalBuffer::runs(const TerminalBuffer& buffer, qsizetype line)
{
    QStringList result;
    for (const TerminalBuffer::StyleRun& run : buffer.lineRuns(line)) {
        result.append(QString::number(run.start) + u' ' + describe(run.style));
    }
    return result;
}

void TestTerminalBuffer::linesAndLineBreaks()
{
    TerminalBuffer buffer;
    QCOMPARE(lineTexts(buffer), QStringList{QString()});
    buffer.append(u"first\nsecond\r\nthird");
    QCOMPARE(lineTexts(buffer), (QStringList{u"first"_qs, u"second"_qs, u"third"_qs}));
    buffer.append(u"\n");
    QCOMPARE(lineTexts(buffer), (QStringList{u"first"_qs, u"second"_qs, u"third"_qs, QString()}));
    QCOMPARE(runs(buffer, 0), QStringList{u"0 default"_qs});
    QVERIFY(buffer.lineRuns(3).empty());
    QCOMPARE(buffer.firstLineNumber(), 0);
}

void TestTerminalBuffer::basicAndBrightColours()
{
    TerminalBuffer buffer;
    buffer.append(u"\x1b[31mred\x1b[0m plain \x1b[92mbright\x1b[m \x1b[44;97mon blue\x1b[49m\x1b[101mX\x1b[39;49m.");
    QCOMPARE(lineTexts(buffer), QStringList{u"red plain bright on blueX."_qs});
    QCOMPARE(runs(buffer, 0),
             (QStringList{u"0 fg cd0000"_qs,
                          u"3 default"_qs,
                          u"10 fg 00ff00"_qs,
                          u"16 default"_qs,
                          u"17 fg ffffff bg 0000ee"_qs,
                          u"24 fg ffffff bg ff0000"_qs,
                          u"25 default"_qs}));
    // The style lasts across lines until it is changed.
    buffer.append(u"\n\x1b[33mA\nB");
    QCOMPARE(runs(buffer, 1), QStringList{u"0 fg cdcd00"_qs});
    QCOMPARE(runs(buffer, 2), QStringList{u"0 fg cdcd00"_qs});
}

void TestTerminalBuffer::extendedAndDefaultColours()
{
    TerminalBuffer buffer;
    buffer.append(u"\x1b[38;5;196ma\x1b[38;5;244mb\x1b[38;5;3mc\x1b[38;2;1;2;3md\x1b[48;5;21me\x1b[48;2;250;128;0mf"
                  u"\x1b[38:2::10:20:30mg\x1b[38:2:40:50:60mh\x1b[48:5:231mi\x1b[39mj\x1b[49mk"
                  u"\x1b[38;5mbroken\x1b[0;38;2;300;;7ml");
    QCOMPARE(lineTexts(buffer), QStringList{u"abcdefghijkbrokenl"_qs});
    QCOMPARE(runs(buffer, 0),
             (QStringList{u"0 fg ff0000"_qs,
                          u"1 fg 808080"_qs,
                          u"2 fg cdcd00"_qs,
                          u"3 fg 010203"_qs,
                          u"4 fg 010203 bg 0000ff"_qs,
                          u"5 fg 010203 bg fa8000"_qs,
                          u"6 fg 0a141e bg fa8000"_qs,
                          u"7 fg 28323c bg fa8000"_qs,
                          u"8 fg 28323c bg ffffff"_qs,
                          u"9 bg ffffff"_qs,
                          u"10 default"_qs,
                          u"17 fg ff0007"_qs}));
}

void TestTerminalBuffer::attributesOnAndOff()
{
    TerminalBuffer buffer;
    buffer.append(
        u"\x1b[1ma\x1b[2mb\x1b[22mc\x1b[3;4md\x1b[23;24me\x1b[7mf\x1b[27mg\x1b[4:3mh\x1b[4:0mi\x1b[9mj\x1b[0mk");
    QCOMPARE(runs(buffer, 0),
             (QStringList{u"0 bold"_qs,
                          u"1 bold faint"_qs,
                          u"2 default"_qs,
                          u"3 italic underline"_qs,
                          u"4 default"_qs,
                          u"5 inverse"_qs,
                          u"6 default"_qs,
                          u"7 underline"_qs,
                          u"8 default"_qs,
                          u"9 strikeout"_qs,
                          u"10 default"_qs}));
}

void TestTerminalBuffer::otherSequencesAreHidden_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("shown");
    QTest::newRow("cursor and screen") << u"\x1b[2J\x1b[H\x1b[?25la\x1b[10;20Hb\x1b[3Ac\x1b[2B\x1b[>4;1m\x1b[1 q"_qs
                                       << u"abc"_qs;
    QTest::newRow("osc with bell") << u"x\x1b]0;window title\x07y"_qs << u"xy"_qs;
    QTest::newRow("osc hyperlink with st") << u"\x1b]8;;https://example.com\x1b\\link\x1b]8;;\x1b\\!"_qs << u"link!"_qs;
    QTest::newRow("dcs and apc") << u"a\x1bPq#0;2;0;0;0\x1b\\b\x1b_private\x1b\\c"_qs << u"abc"_qs;
    QTest::newRow("lone escapes") << u"\x1b"
                                     u"7a\x1b"
                                     u"8\x1b(Bb\x1b=\x1b>c\x1b"
                                     u"c\x1b"
                                     u"Md"_qs
                                  << u"abcd"_qs;
    QTest::newRow("escape before text") << u"\x1b\u00e9t\u00e9"_qs << u"\u00e9t\u00e9"_qs;
    QTest::newRow("controls") << u"a\x07\x01\x0b\x0c\x7f\u0085\u009bb"_qs << u"ab"_qs;
    QTest::newRow("cancelled sequence") << u"\x1b[31\x18x"_qs << u"x"_qs;
    QTest::newRow("escape restarts") << u"\x1b[3\x1b[1mq"_qs << u"q"_qs;
    QTest::newRow("overlong parameters") << (u"\x1b["_qs + QString(500, u'9') + u";1;2;3mz"_qs) << u"z"_qs;
}

void TestTerminalBuffer::otherSequencesAreHidden()
{
    QFETCH(QString, input);
    QFETCH(QString, shown);
    TerminalBuffer buffer;
    buffer.append(input);
    QCOMPARE(lineTexts(buffer), QStringList{shown});
}

void TestTerminalBuffer::sequencesSplitAnywhere()
{
    const QString input = u"\x1b[1;38;2;10;20;30mbold\x1b[0m \x1b]0;title\x1b\\\x1b[48:5:21mX\x1b[m\r\nnext \x1b[33m"
                          u"\U0001F680 \x1b(Bdone\x1b]8;;u\x07!\x1b[K"_qs;
    TerminalBuffer whole;
    whole.append(input);
    QCOMPARE(lineTexts(whole), (QStringList{u"bold X"_qs, u"next \U0001F680 done!"_qs}));
    for (qsizetype split = 1; split < input.size(); ++split) {
        TerminalBuffer pieces;
        pieces.append(QStringView(input).first(split));
        pieces.append(QStringView(input).sliced(split));
        QCOMPARE(lineTexts(pieces), lineTexts(whole));
        QCOMPARE(runs(pieces, 0), runs(whole, 0));
        QCOMPARE(runs(pieces, 1), runs(whole, 1));
    }
    TerminalBuffer characters;
    for (const QChar c : input) {
        characters.append(QStringView(&c, 1));
    }
    QCOMPARE(lineTexts(characters), lineTexts(whole));
    QCOMPARE(runs(characters, 0), runs(whole, 0));
}

void TestTerminalBuffer::lineFeedEndsABrokenSequence()
{
    TerminalBuffer buffer;
    buffer.append(u"\x1b]never terminated\nvisible\n\x1b[31\nplain");
    QCOMPARE(lineTexts(buffer), (QStringList{QString(), u"visible"_qs, QString(), u"plain"_qs}));
    QCOMPARE(runs(buffer, 3), QStringList{u"0 default"_qs});
}

void TestTerminalBuffer::carriageReturnRedrawsInPlace()
{
    TerminalBuffer buffer;
    buffer.append(u"progress 10%\rprogress 55%\rprogress 100%\n");
    buffer.append(u"abcdef\r12\n");
    buffer.append(u"kept\r");
    buffer.append(u"\nstyled \x1b[31mred\r\x1b[32mgr");
    QCOMPARE(lineTexts(buffer), (QStringList{u"progress 100%"_qs, u"12cdef"_qs, u"kept"_qs, u"gryled red"_qs}));
    QCOMPARE(runs(buffer, 3), (QStringList{u"0 fg 00cd00"_qs, u"2 default"_qs, u"7 fg cd0000"_qs}));
    // Writing past the old end after a return extends the line.
    buffer.append(u"\rlonger than before: yes");
    QCOMPARE(lineTexts(buffer).last(), u"longer than before: yes"_qs);
    QCOMPARE(runs(buffer, 3), QStringList{u"0 fg 00cd00"_qs});
}

void TestTerminalBuffer::eraseInLineAndBackspace()
{
    TerminalBuffer buffer;
    buffer.append(u"Downloading 50%\r\x1b[Kdone\n");
    buffer.append(u"abcdef\r\x1b[2Cx\x1b[0K\n");
    buffer.append(u"abcdef\x1b[3Dx\x1b[1Gy\x1b[9G!\n");
    buffer.append(u"abcdef\rxy\x1b[1K!\n");
    buffer.append(u"abcdef\rxy\x1b[2K!\n");
    buffer.append(u"ab\bc\b\bZ\n");
    buffer.append(u"\b\bq\U0001F680\b!");
    QCOMPARE(lineTexts(buffer),
             (QStringList{u"done"_qs, u"abx"_qs, u"ybcxef  !"_qs, u"  !def"_qs, u"  !"_qs, u"Zc"_qs, u"q! "_qs}));
}

void TestTerminalBuffer::droppingTheFrontFollowsTheOutput()
{
    // The output keeps at most 300 characters and drops whole lines from its front; the buffer
    // told the same drops shows exactly the output's lines.
    OutputText output(600);
    TerminalBuffer buffer;
    buffer.setColumns(7);
    auto* random = QRandomGenerator::global();
    qint64 dropped = 0;
    for (int i = 0; i < 400; ++i) {
        QString piece;
        const int lines = int(random->bounded(4));
        for (int line = 0; line < lines; ++line) {
            piece += QStringLiteral("\x1b[3%1mline %2\x1b[0m tail %3\r\n")
                         .arg(random->bounded(8))
                         .arg(i)
                         .arg(QString(int(random->bounded(12)), u'x'));
        }
        piece += QStringLiteral("part %1\rP").arg(i);
        const qsizetype droppedNow = output.append(piece);
        buffer.append(piece);
        buffer.dropFront(droppedNow);
        dropped += droppedNow;

        TerminalBuffer fresh;
        fresh.setColumns(7);
        fresh.append(output.text());
        QCOMPARE(lineTexts(buffer), lineTexts(fresh));
        QCOMPARE(buffer.rowCount(), fresh.rowCount());
        QCOMPARE(buffer.firstRowOfLine(buffer.lineCount() - 1), fresh.firstRowOfLine(fresh.lineCount() - 1));
    }
    QVERIFY(dropped > 10000);
    QVERIFY(buffer.firstLineNumber() > 100);
}

void TestTerminalBuffer::aLineCutInsideKeepsItsEnd()
{
    // A line being written, longer than the output keeps.
    OutputText output(2000);
    TerminalBuffer buffer;
    buffer.setColumns(10);
    for (int i = 0; i < 100; ++i) {
        const QString piece = QStringLiteral("\x1b[32m") + QString(100, QChar(u'a' + i % 26));
        buffer.append(piece);
        buffer.dropFront(output.append(piece));
        QCOMPARE(buffer.lineCount(), 1);
        QCOMPARE(buffer.lineText(0), QString(output.text()).remove(QStringLiteral("\x1b[32m")));
        QCOMPARE(buffer.rowCount(), (buffer.lineText(0).size() + 9) / 10);
    }
    buffer.append(u"!\nnext");
    QVERIFY(buffer.lineText(0).endsWith(u"!"));
    QCOMPARE(buffer.lineText(1), u"next");

    // A finished line cut inside: it keeps its end and its rows shrink with it.
    OutputText finished(2000);
    TerminalBuffer lines;
    lines.setColumns(10);
    const QString text = QString(1500, u'x') + u'\n';
    const qsizetype dropped = finished.append(text);
    lines.append(text);
    lines.dropFront(dropped);
    QVERIFY(dropped > 0 && dropped < 1500);
    QCOMPARE(lines.lineCount(), 2);
    QCOMPARE(lines.lineText(0), QString(1500 - dropped, u'x'));
    QCOMPARE(lines.rowsOfLine(0), int(1500 - dropped + 9) / 10);
    QCOMPARE(lines.rowCount(), lines.rowsOfLine(0) + 1);
    QCOMPARE(lines.lineAtRow(lines.rowsOfLine(0)), 1);
}

void TestTerminalBuffer::wrapsIntoRows()
{
    TerminalBuffer buffer;
    buffer.setColumns(10);
    buffer.append(u"0123456789abcdefghij12345\n\n");
    buffer.append(u"\u6f22\u5b57\u6f22\u5b57\u6f22\u5b57x\n");          // six wide characters and one narrow: 13 cells
    buffer.append(u"a\tb\tc\n");                                        // tabs to 8, then to the row's end
    buffer.append(u"\u26a0\ufe0f\U0001F468\u200d\U0001F469 e\u0301\n"); // emoji forms and a combining mark
    buffer.append(u"123456789\u6f22");                                  // the wide character moves down
    QCOMPARE(buffer.lineCount(), 6);
    QCOMPARE(buffer.rowsOfLine(0), 3);
    QCOMPARE(buffer.rowsOfLine(1), 1);
    QCOMPARE(buffer.rowsOfLine(2), 2);
    QCOMPARE(buffer.rowsOfLine(3), 2);
    QCOMPARE(buffer.rowsOfLine(4), 1);
    QCOMPARE(buffer.rowsOfLine(5), 2);
    QCOMPARE(buffer.rowCount(), 11);
    QCOMPARE(buffer.firstRowOfLine(4), 8);
    QCOMPARE(buffer.lineAtRow(0), 0);
    QCOMPARE(buffer.lineAtRow(2), 0);
    QCOMPARE(buffer.lineAtRow(3), 1);
    QCOMPARE(buffer.lineAtRow(8), 4);
    QCOMPARE(buffer.lineAtRow(10), 5);

    QList<LineWrap::Cell> cells;
    LineWrap::forEachCell(buffer.lineText(4), 10, [&](const LineWrap::Cell& cell) { cells.append(cell); });
    QCOMPARE(cells.size(), 4);
    QCOMPARE(cells.at(0).width, 2); // warning sign asked for in emoji form
    QCOMPARE(cells.at(1).column, 2);
    QCOMPARE(cells.at(1).to - cells.at(1).from, 5); // man, joiner, woman
    QCOMPARE(cells.at(3).column, 5);
    QCOMPARE(cells.at(3).to - cells.at(3).from, 2); // e and its accent

    // The last line grows and is counted on.
    buffer.append(u"\u6f22\u6f22\u6f22\u6f22\u6f22");
    QCOMPARE(buffer.rowsOfLine(5), 3);
    buffer.append(u"\r\x1b[K");
    QCOMPARE(buffer.rowsOfLine(5), 1);

    buffer.setColumns(80);
    QCOMPARE(buffer.rowCount(), 6);
    QCOMPARE(buffer.lineAtRow(5), 5);
}

void TestTerminalBuffer::textBetweenPoints()
{
    TerminalBuffer buffer;
    buffer.append(u"\x1b[31mfirst\x1b[0m line\nsecond\nthird line");
    QCOMPARE(buffer.text({0, 6}, {2, 5}), u"line\nsecond\nthird"_qs);
    QCOMPARE(buffer.text({1, 0}, {1, 6}), u"second"_qs);
    QCOMPARE(buffer.text({0, 0}, {0, 0}), QString());
    QCOMPARE(buffer.text({0, 0}, {9, 99}), u"first line\nsecond\nthird line"_qs);
}

QTEST_APPLESS_MAIN(TestTerminalBuffer)
#include "tst_terminal_buffer.moc"
