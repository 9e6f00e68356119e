// The idle reference: a Qt Widgets program with nothing but a tray icon, on the same display.
// With --exit-when-running it ends as soon as its event loop runs: the start-up reference.
#include <QApplication>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::darkGray);
    QSystemTrayIcon icon{QIcon(pixmap)};
    icon.show();
    if (QApplication::arguments().contains(QStringLiteral("--exit-when-running"))) {
        QTimer::singleShot(0, &application, &QCoreApplication::quit);
    }
    return QApplication::exec();
}
