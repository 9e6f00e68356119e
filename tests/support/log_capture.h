#pragma once

#include <QStringList>
#include <QTemporaryFile>

// Redirects standard output into a file for as long as it lives, so that a test can read the
// log lines the code under test printed. Restores standard output on destruction.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every line written since the capture began.
    QStringList lines() const;
    // The lines that begin with one of the prefixes, in order.
    QStringList linesStartingWith(const QStringList& prefixes) const;

private:
    QTemporaryFile m_file;
    int m_savedStdout = -1;
};
