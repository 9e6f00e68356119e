#include "manager/log_excerpt.h"
#include "manager/output_text.h"

#include <QTest>

class TestOutputText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void appendsVerbatimBelowTheBound();
    void dropsOldestWholeLines();
    void cutsASingleHugeLineWhereItMust();
    void trimsInLargeSteps();
    void logTailIsBounded();
};

void TestOutputText::appendsVerbatimBelowTheBound()
{
    OutputText output(1024);
    QCOMPARE(output.append(u"a\r\nb"), 0);
    QCOMPARE(output.append(u""), 0);
    QCOMPARE(output.append(u"\x1b[32mc\n"), 0);
    QCOMPARE(output.text(), QStringLiteral("a\r\nb\x1b[32mc\n"));
}

void TestOutputText::dropsOldestWholeLines()
{
    OutputText output(200); // 100 characters
    QString expected;
    qsizetype droppedTotal = 0;
    for (int line = 0; line < 40; ++line) {
        const QString text = QStringLiteral("line %1\n").arg(line, 2, 10, QLatin1Char('0'));
        expected += text;
        droppedTotal += output.append(text);
    }
    QVERIFY(output.text().size() <= 100);
    QVERIFY(output.text().startsWith(QStringLiteral("line ")));
    QCOMPARE(expected.mid(droppedTotal), output.text());
}

void TestOutputText::cutsASingleHugeLineWhereItMust()
{
    OutputText output(200);
    const qsizetype dropped = output.append(QString(500, u'x'));
    QVERIFY(dropped > 0);
    QVERIFY(output.text().size() <= 100);
    QCOMPARE(output.text(), QString(500 - dropped, u'x'));
}

void TestOutputText::trimsInLargeSteps()
{
    OutputText output(2000); // 1000 characters
    int trims = 0;
    for (int i = 0; i < 10000; ++i) {
        if (output.append(u"0123456789\n") > 0) {
            ++trims;
        }
    }
    // 110000 characters through a 1000-character bound, at least a quarter dropped per trim.
    QVERIFY2(trims <= 110000 / 250 + 1, qPrintable(QString::number(trims)));
}

void TestOutputText::logTailIsBounded()
{
    QCOMPARE(LogExcerpt::tail(QStringLiteral("short")), QStringLiteral("short"));
    const QString exact(LogExcerpt::TailLength, u'a');
    QCOMPARE(LogExcerpt::tail(exact), exact);

    const QString text = QString(1000, u'a') + QString(LogExcerpt::TailLength, u'b');
    const QString tail = LogExcerpt::tail(text);
    QVERIFY(tail.endsWith(QString(LogExcerpt::TailLength, u'b')));
    QVERIFY(tail.contains(QStringLiteral("1000")));
    QVERIFY(tail.size() < LogExcerpt::TailLength + 60);
}

QTEST_APPLESS_MAIN(TestOutputText)
#include "tst_output_text.moc"
