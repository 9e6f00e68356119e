// The terminal window over a manager in a temporary home, fed from standard input: each line,
// in hexadecimal, is emitted as UTF-8 text. Logs "clipboard HEX" when the clipboard changes.
#include "terminal/window_manager.h"
#include "tests/manager/manager_test_support.h"

#include <QApplication>
#include <QClipboard>

#include <iostream>
#include <thread>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    const TestSandbox sandbox;
    ManagerConfig config = sandboxConfig(sandbox);
    config.maxOutputBytes = 4000;
    CorvaltManager manager(config);
    WindowManager windows(manager);
    windows.openTerminalWindow();
    QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, [] {
        qInfo("clipboard %s", QGuiApplication::clipboard()->text().toUtf8().toHex().constData());
    });
    // Off the main thread, as the manager's own reader delivers.
    const std::jthread reader([&manager] {
        for (std::string line; std::getline(std::cin, line);) {
            manager.outputHandler()(QString::fromUtf8(QByteArray::fromHex(QByteArray::fromStdString(line))));
        }
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit);
    });
    return application.exec();
}
