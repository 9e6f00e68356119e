#include "manager/program_check.h"

#include <QCoreApplication>

#include <elf.h>

namespace {
#if defined(__x86_64__)
constexpr quint16 TargetMachine = EM_X86_64;
constexpr const char* TargetName = "x86-64";
#elif defined(__aarch64__)
constexpr quint16 TargetMachine = EM_AARCH64;
constexpr const char* TargetName = "arm64";
#else
#error "Only x86-64 and arm64 builds know which programs they can run"
#endif

quint16 littleEndian16(QByteArrayView bytes, qsizetype at)
{
    return quint16(quint8(bytes[at]) | quint8(bytes[at + 1]) << 8);
}

bool isTargetElf(QByteArrayView head)
{
    // e_ident, then e_type and e_machine; both targets are 64-bit little-endian.
    constexpr qsizetype MachineEnd = EI_NIDENT + 4;
    if (head.size() < MachineEnd || head[EI_CLASS] != ELFCLASS64 || head[EI_DATA] != ELFDATA2LSB) {
        return false;
    }
    const quint16 type = littleEndian16(head, EI_NIDENT);
    return (type == ET_EXEC || type == ET_DYN) && littleEndian16(head, EI_NIDENT + 2) == TargetMachine;
}

QString printable(QByteArrayView bytes)
{
    QString text;
    for (const char byte : bytes) {
        if (byte == '\n') {
            text += QStringLiteral("\\n");
        } else if (byte == '"' || byte == '\\') {
            text += u'\\' + QChar::fromLatin1(byte);
        } else if (byte >= 0x20 && byte < 0x7f) {
            text += QChar::fromLatin1(byte);
        } else {
            text += QStringLiteral("\\x%1").arg(quint8(byte), 2, 16, QChar(u'0'));
        }
    }
    return text;
}
} // namespace

bool ProgramCheck::isProgram(QByteArrayView head)
{
    head = head.first(std::min(head.size(), HeadSize));
    const bool elf = head.startsWith(ELFMAG);
    if (head.startsWith("#!") || (elf && isTargetElf(head))) {
        m_errorString.clear();
        return true;
    }
    const char* const description = elf
        ? QT_TRANSLATE_NOOP("ProgramCheck",
                            "The download is an ELF file for another machine, not for %1; it begins \"%2\"")
        : QT_TRANSLATE_NOOP("ProgramCheck",
                            "The download is not a program for %1 (an ELF file or a #! script); it begins \"%2\"");
    m_errorString =
        QCoreApplication::translate("ProgramCheck", description).arg(QString::fromLatin1(TargetName), printable(head));
    return false;
}
