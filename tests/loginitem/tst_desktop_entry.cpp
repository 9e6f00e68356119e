#include "platform/desktop_entry.h"

#include <QTest>

// Reading and writing desktop entries: the Exec line must survive any program path.
class TestDesktopEntry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void execLineIsQuotedAndEscaped();
    void hostilePathsRoundTrip_data();
    void hostilePathsRoundTrip();
    void splitsExecLinesWrittenByOthers_data();
    void splitsExecLinesWrittenByOthers();
    void readsOnlyTheMainGroup();
    void textWithoutMainGroupIsNotAnEntry();
};

void TestDesktopEntry::execLineIsQuotedAndEscaped()
{
    // Quoting first (backslash before " $ ` \, and %%), then the string escape of backslashes.
    const QString path = QStringLiteral("/opt/my apps/100%/tr\"ay$x\\y`z`");
    QCOMPARE(DesktopEntry::execValue(path), QStringLiteral("\"/opt/my apps/100%%/tr\\\"ay\\$x\\\\y\\`z\\`\""));
    QCOMPARE(DesktopEntry::escapeValue(DesktopEntry::execValue(path)),
             QStringLiteral("\"/opt/my apps/100%%/tr\\\\\"ay\\\\$x\\\\\\\\y\\\\`z\\\\`\""));
}

void TestDesktopEntry::hostilePathsRoundTrip_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("plain") << QStringLiteral("/usr/bin/corvalt-tray");
    QTest::newRow("blanks") << QStringLiteral("/home/ann/My Apps/tray app");
    QTest::newRow("quotes") << QStringLiteral("/home/ann/\"quoted\"/it's");
    QTest::newRow("dollar and backtick") << QStringLiteral("/home/ann/$HOME/`id`/tray");
    QTest::newRow("percent") << QStringLiteral("/home/ann/100%/%U/tray");
    QTest::newRow("backslashes") << QStringLiteral("/home/ann/a\\b\\\\c/tray\\");
    QTest::newRow("tab and line break") << QStringLiteral("/home/ann/tab\there/line\nbreak");
    QTest::newRow("leading blank in a folder") << QStringLiteral("/home/ann/ lead/tray");
    QTest::newRow("non-ASCII") << QStringLiteral("/home/zoë/программы/トレイ");
}

void TestDesktopEntry::hostilePathsRoundTrip()
{
    QFETCH(QString, path);
    const QString line = QStringLiteral("Exec=") + DesktopEntry::escapeValue(DesktopEntry::execValue(path));
    QVERIFY(!line.contains(u'\n'));
    const auto values = DesktopEntry::parseMainGroup(QStringLiteral("[Desktop Entry]\n") + line + u'\n');
    QVERIFY(values);
    const auto arguments = DesktopEntry::splitExecValue(values->value(QStringLiteral("Exec")));
    QVERIFY(arguments);
    QCOMPARE(*arguments, QStringList{path});
}

void TestDesktopEntry::splitsExecLinesWrittenByOthers_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("bare program") << QStringLiteral("corvalt-tray") << QStringList{QStringLiteral("corvalt-tray")};
    QTest::newRow("field codes dropped") << QStringLiteral("/usr/bin/tray %U --flag %f")
                                         << QStringList{QStringLiteral("/usr/bin/tray"), QStringLiteral("--flag")};
    QTest::newRow("literal percent") << QStringLiteral("tray 100%%")
                                     << QStringList{QStringLiteral("tray"), QStringLiteral("100%")};
    QTest::newRow("quoted blanks") << QStringLiteral("\"/opt/a b/tray\" -x")
                                   << QStringList{QStringLiteral("/opt/a b/tray"), QStringLiteral("-x")};
    QTest::newRow("escaped blank outside quotes")
        << QStringLiteral("/opt/a\\ b/tray") << QStringList{QStringLiteral("/opt/a b/tray")};
    QTest::newRow("extra blanks") << QStringLiteral("  tray   -x  ")
                                  << QStringList{QStringLiteral("tray"), QStringLiteral("-x")};
}

void TestDesktopEntry::splitsExecLinesWrittenByOthers()
{
    QFETCH(QString, value);
    QFETCH(QStringList, arguments);
    const auto split = DesktopEntry::splitExecValue(value);
    QVERIFY(split);
    QCOMPARE(*split, arguments);
    QVERIFY(!DesktopEntry::splitExecValue(QStringLiteral("\"/opt/unterminated")));
}

void TestDesktopEntry::readsOnlyTheMainGroup()
{
    const auto values = DesktopEntry::parseMainGroup(QStringLiteral("# a comment\n"
                                                                    "[Desktop Action other]\n"
                                                                    "Exec=elsewhere\n"
                                                                    "\n"
                                                                    "[Desktop Entry]\n"
                                                                    "Name = Corvalt \n"
                                                                    "Name[de]=Corvalt DE\n"
                                                                    "# Exec=commented\n"
                                                                    "Comment=one\\ntwo\\sthree\\\\\n"
                                                                    "Exec=first\n"
                                                                    "Exec=second\n"
                                                                    "[X-Other]\n"
                                                                    "Hidden=true\n"));
    QVERIFY(values);
    QCOMPARE(values->value(QStringLiteral("Name")), QStringLiteral("Corvalt"));
    QCOMPARE(values->value(QStringLiteral("Name[de]")), QStringLiteral("Corvalt DE"));
    QCOMPARE(values->value(QStringLiteral("Comment")), QStringLiteral("one\ntwo three\\"));
    QCOMPARE(values->value(QStringLiteral("Exec")), QStringLiteral("first"));
    QVERIFY(!values->contains(QStringLiteral("Hidden")));
}

void TestDesktopEntry::textWithoutMainGroupIsNotAnEntry()
{
    QVERIFY(!DesktopEntry::parseMainGroup(QStringLiteral("Exec=/usr/bin/tray\n")));
    QVERIFY(!DesktopEntry::parseMainGroup(QString()));
    QVERIFY(DesktopEntry::parseMainGroup(QStringLiteral("[Desktop Entry]\n")));
}

QTEST_GUILESS_MAIN(TestDesktopEntry)
#include "tst_desktop_entry.moc"
