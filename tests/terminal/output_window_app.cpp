// The terminal window over a manager in a temporary home, fed from standard input, one command
// a line: "emit HEX" emits the UTF-8 text, "flood N" emits N numbered lines, one a turn of the
// event loop. Prints "clipboard HEX" whenever the clipboard changes.
#include "terminal/window_manager.h"
#include "terminal_test_support.h"

#include <QApplication>
#include <QClipboard>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    const TestSandbox sandbox;
    CorvaltManager manager(sandboxConfig(sandbox, 4000));
    WindowManager windows(manager);
    windows.openTerminalWindow();
    QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, [] {
        std::printf("clipboard %s\n", QGuiApplication::clipboard()->text().toUtf8().toHex().constData());
        std::fflush(stdout);
    });
    int flooded = 0;
    int floodEnd = 0;
    QTimer flood;
    QObject::connect(&flood, &QTimer::timeout, [&] {
        manager.outputHandler()(QStringLiteral("flood %1\n").arg(flooded++));
        if (flooded == floodEnd) {
            flood.stop();
        }
    });
    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t size = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (size <= 0) {
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, size);
        for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QList<QByteArray> command = pending.left(end).split(' ');
            pending.remove(0, end + 1);
            if (command.value(0) == "emit") {
                manager.outputHandler()(QString::fromUtf8(QByteArray::fromHex(command.value(1))));
            } else if (command.value(0) == "flood") {
                floodEnd = flooded + command.value(1).toInt();
                flood.start(0);
            }
        }
    });
    return application.exec();
}
