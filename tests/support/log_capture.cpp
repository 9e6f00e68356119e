#include "tests/support/log_capture.h"

#include <QFile>
#include <QTest>

#include <cstdio>
#include <unistd.h>

LogCapture::LogCapture()
{
    m_file.open();
    std::fflush(stdout);
    m_savedStdout = ::dup(STDOUT_FILENO);
    ::dup2(m_file.handle(), STDOUT_FILENO);
}

LogCapture::~LogCapture()
{
    std::fflush(stdout);
    ::dup2(m_savedStdout, STDOUT_FILENO);
    ::close(m_savedStdout);
    // A failure message printed while capturing would be lost: show what was captured.
    if (QTest::currentTestFailed()) {
        const QStringList captured = lines();
        for (const QString& line : captured) {
            std::fprintf(stderr, "%s\n", qPrintable(line));
        }
    }
}

QStringList LogCapture::lines() const
{
    std::fflush(stdout);
    QFile file(m_file.fileName());
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QString text = QString::fromUtf8(file.readAll());
    if (text.endsWith(u'\n')) {
        text.chop(1);
    }
    return text.isEmpty() ? QStringList() : text.split(u'\n');
}
