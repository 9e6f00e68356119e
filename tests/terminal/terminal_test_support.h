#pragma once

#include "manager/corvalt_manager.h"
#include "manager/tool_process.h"
#include "terminal/terminal_buffer.h"
#include "tests/support/test_sandbox.h"

#include <QStringList>

// A manager kept inside the sandbox, with a search pattern that matches nothing else.
inline ManagerConfig sandboxConfig(const TestSandbox& sandbox, qsizetype maxOutputBytes = 32 * 1024 * 1024)
{
    ManagerConfig config;
    config.homeDirectory = sandbox.home();
    config.baseUrl = QUrl(QStringLiteral("https://127.0.0.1:9/static/cli"));
    config.assetName = QStringLiteral("tool-linux-amd64");
    config.searchProgram = QStringLiteral("/usr/bin/pgrep");
    config.searchArguments = {QStringLiteral("-f"), TestSandbox::uniqueWord()};
    config.zshPath = QStringLiteral("/bin/zsh");
    config.bashPath = QStringLiteral("/bin/bash");
    config.maxOutputBytes = maxOutputBytes;
    return config;
}

inline QStringList lineTexts(const TerminalBuffer& buffer)
{
    QStringList lines;
    for (qsizetype line = 0; line < buffer.lineCount(); ++line) {
        lines.append(buffer.lineText(line).toString());
    }
    return lines;
}
