#pragma once

#include <QByteArrayView>
#include <QString>

// Whether a download starts as a program this machine can run: an ELF executable of the
// class and machine this build targets, or a "#!" script. An error page, an archive or the
// build for another system must never replace a working tool.
class ProgramCheck
{
public:
    // How many leading bytes decide, and are shown when they do not.
    static constexpr qsizetype HeadSize = 32;

    // Whether `head` (the first HeadSize bytes, or the whole file if shorter) starts a program;
    // if not, errorString() describes what came instead.
    bool isProgram(QByteArrayView head);
    const QString& errorString() const { return m_errorString; }

private:
    QString m_errorString;
};
