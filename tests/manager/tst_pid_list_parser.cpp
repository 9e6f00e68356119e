#include "manager/pid_list_parser.h"

#include <QTest>

class TestPidListParser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
};

void TestPidListParser::parse_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QList<qint32>>("expected");

    QTest::newRow("two lines") << QByteArray("812\n4471\n") << QList<qint32>{812, 4471};
    QTest::newRow("blank line, padding, tab, CRLF") << QByteArray("  812  \n\n\t4471\r\n") << QList<qint32>{812, 4471};
    QTest::newRow("order and duplicates kept") << QByteArray("9\n3\n9") << QList<qint32>{9, 3, 9};
    QTest::newRow("empty") << QByteArray() << QList<qint32>{};
    QTest::newRow("only white space") << QByteArray(" \n\t\r\n") << QList<qint32>{};
    QTest::newRow("letters after digits") << QByteArray("812abc\n") << QList<qint32>{};
    QTest::newRow("letters only") << QByteArray("pgrep: bad pattern\n") << QList<qint32>{};
    QTest::newRow("beyond 32 bits") << QByteArray("2147483648\n-2147483649\n") << QList<qint32>{};
    QTest::newRow("32-bit limits") << QByteArray("2147483647\n-2147483648\n")
                                   << QList<qint32>{2147483647, -2147483647 - 1};
    QTest::newRow("signs") << QByteArray("+12\n-3\n+\n-\n") << QList<qint32>{12, -3};
    QTest::newRow("inner blank") << QByteArray("1 2\n5\n") << QList<qint32>{5};
    QTest::newRow("unicode line separators") << QByteArray("7\xe2\x80\xa8"
                                                           "8\xc2\x85"
                                                           "9")
                                             << QList<qint32>{7, 8, 9};
    QTest::newRow("no-break space trimmed") << QByteArray("\xc2\xa0"
                                                          "42\xc2\xa0\n")
                                            << QList<qint32>{42};
    QTest::newRow("non-ASCII digits") << QByteArray("\xd9\xa3\n") << QList<qint32>{};
    QTest::newRow("invalid UTF-8 rejects all") << QByteArray("812\n\xff\n4471\n") << QList<qint32>{};
    QTest::newRow("huge digit run") << QByteArray(40, '9') << QList<qint32>{};
}

void TestPidListParser::parse()
{
    QFETCH(QByteArray, input);
    QFETCH(QList<qint32>, expected);
    QCOMPARE(PidListParser::parse(input), expected);
}

QTEST_APPLESS_MAIN(TestPidListParser)
#include "tst_pid_list_parser.moc"
