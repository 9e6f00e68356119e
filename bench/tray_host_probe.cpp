// Exits 0 when the X display has a system tray that Qt can put an icon in, 1 otherwise.
#include <QApplication>
#include <QSystemTrayIcon>

int main(int argc, char** argv)
{
    const QApplication application(argc, argv);
    return QSystemTrayIcon::isSystemTrayAvailable() ? 0 : 1;
}
