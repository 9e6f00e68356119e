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
        for (const QString& line : lines()) {
            std::fprintf(stderr, "%s\n", qPrintable(line));
        }
    }
}

QStringList LogCapture::lines() const
{
    std::fflush(stdout);
    QFile file(m_file.fileName());
    QStringList lines = QString::fromUtf8(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray()).split(u'\n');
    if (lines.last().isEmpty()) {
        lines.removeLast();
    }
    return lines;
}
