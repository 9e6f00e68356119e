#include "app/tray_menu.h"

#include "start_at_login/start_at_login.h"
#include "terminal/window_manager.h"

#include <QCursor>
#include <QGuiApplication>
#include <QImageReader>

TrayMenu::TrayMenu(WindowManager& windowManager,
                   StartAtLogin& startAtLogin,
                   std::function<void()> quit,
                   QObject* parent)
    : QObject(parent), m_windowManager(windowManager), m_startAtLogin(startAtLogin)
{
    m_openAction = m_menu.addAction(QStringLiteral("Open Corvalt Status"));
    m_menu.addSeparator();
    m_startAtLoginAction = m_menu.addAction(startAtLoginLabel(m_startAtLogin.isEnabled()));
    m_menu.addSeparator();
    m_quitAction = m_menu.addAction(QStringLiteral("Quit"));

    connect(m_openAction, &QAction::triggered, this, [this] { m_windowManager.openTerminalWindow(); });
    connect(m_startAtLoginAction, &QAction::triggered, this, [this] { m_startAtLogin.toggle(); });
    connect(m_quitAction, &QAction::triggered, this, std::move(quit));

    connect(&m_menu, &QMenu::aboutToShow, this, &TrayMenu::updateStartAtLoginLabel);
    connect(&m_startAtLogin, &StartAtLogin::isEnabledChanged, this, &TrayMenu::updateStartAtLoginLabel);
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
        m_windowManager.openTerminalWindow();
        return;
    }
    m_menu.popup(QCursor::pos());
}

QString TrayMenu::startAtLoginLabel(bool isEnabled)
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

void TrayMenu::updateStartAtLoginLabel()
{
    m_startAtLoginAction->setText(startAtLoginLabel(m_startAtLogin.isEnabled()));
}
