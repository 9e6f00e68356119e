// The terminal window over a manager in a temporary home, fed from standard input: each line,
// in hexadecimal, is emitted as UTF-8 text. Logs "clipboard HEX" when the clipboard changes.
#include "terminal/window_manager.h"
#include "tests/manager/manager_test_support.h"

#include <QApplication>
#include <QClipboard>
#include <QSocketNotifier>

#include <unistd.h>

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
    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t size = ::read(STDIN_FILENO, buffer, sizeof buffer);
        pending.append(buffer, std::max<ssize_t>(size, 0));
        for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            manager.outputHandler()(QString::fromUtf8(QByteArray::fromHex(pending.left(end))));
            pending.remove(0, end + 1);
        }
        if (size <= 0) {
            QCoreApplication::quit();
        }
    });
    return application.exec();
}
