#include "app/tray_menu.h"

#include "loginitem/login_item_manager.h"
#include "terminal/window_manager.h"

#include <QCursor>
#include <QGuiApplication>
#include <QImageReader>

TrayMenu::TrayMenu(LoginItemManager& loginItemManager, std::function<void()> quit, QObject* parent)
    : QObject(parent), m_loginItemManager(loginItemManager)
{
    m_openAction = m_menu.addAction(QStringLiteral("Open Corvalt Status"));
    m_menu.addSeparator();
    m_loginItemAction = m_menu.addAction(loginItemLabel(m_loginItemManager.isEnabled()));
    m_menu.addSeparator();
    m_quitAction = m_menu.addAction(QStringLiteral("Quit"));

    connect(m_openAction, &QAction::triggered, this, [] { WindowManager::shared().openTerminalWindow(); });
    connect(m_loginItemAction, &QAction::triggered, this, [this] { m_loginItemManager.toggleLoginItem(); });
    connect(m_quitAction, &QAction::triggered, this, std::move(quit));

    connect(&m_menu, &QMenu::aboutToShow, this, &TrayMenu::updateLoginItemLabel);
    connect(&m_loginItemManager, &LoginItemManager::isEnabledChanged, this, &TrayMenu::updateLoginItemLabel);
}

void TrayMenu::showTrayIcon()
{
    if (m_trayIcon) {
        return;
    }
    m_trayIcon = std::make_unique<QSystemTrayIcon>(chevronIcon(), this);
    m_trayIcon->setToolTip(QStringLiteral("Corvalt"));
    m_trayIcon->setContextMenu(&m_menu);
    connect(m_trayIcon.get(), &QSystemTrayIcon::activated, this, &TrayMenu::onActivated);
    // Shown even without a tray: a tray that appears later embeds it.
    m_trayIcon->show();
}

void TrayMenu::onActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason != QSystemTrayIcon::Trigger || m_menu.isVisible()) {
        return;
    }
    // A Wayland client neither knows the pointer's place nor may open a menu without a window.
    if (QGuiApplication::platformName().startsWith(QStringLiteral("wayland"))) {
        WindowManager::shared().openTerminalWindow();
        return;
    }
    m_menu.popup(QCursor::pos());
}

QString TrayMenu::loginItemLabel(bool isEnabled)
{
    return isEnabled ? QStringLiteral("✓ Start at Login") : QStringLiteral("Start at Login");
}

QIcon TrayMenu::chevronIcon()
{
    if (QImageReader::supportedImageFormats().contains("svg")) {
        return QIcon(QStringLiteral(":/custom-chevron-right.svg"));
    }
    // Qt builds without the SVG plugin get the same drawing at the usual tray sizes.
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        icon.addFile(QStringLiteral(":/custom-chevron-right-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

void TrayMenu::updateLoginItemLabel()
{
    m_loginItemAction->setText(loginItemLabel(m_loginItemManager.isEnabled()));
}
