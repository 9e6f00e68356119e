#include "terminal/window_manager.h"

#include "platform/log.h"
#include "platform/process_control.h"
#include "terminal/terminal_window.h"

#include <QAction>
#include <QApplication>
#include <QScreen>
#include <QStyle>

namespace {
constexpr QSize ContentSize(800, 600);
}

WindowManager::WindowManager(CorvaltManager& manager, QObject* parent) : QObject(parent), m_manager(manager) { }

WindowManager::~WindowManager()
{
    Log::print(u"🪟 WindowManager deinit called - cleaning up");
    if (m_terminalWindow) {
        m_terminalWindow->disconnect(this);
    }
}

QWidget* WindowManager::terminalWindow() const
{
    return m_terminalWindow.get();
}

void WindowManager::openTerminalWindow(Focus focus)
{
    if (m_terminalWindow) {
        if (m_terminalWindow->isMinimized()) {
            m_terminalWindow->showNormal();
        }
        present(*m_terminalWindow, focus);
        return;
    }

    auto window = std::make_unique<TerminalWindow>(m_manager, menuActions());
    window->setWindowTitle(QStringLiteral("Corvalt Terminal"));
    window->setContentSize(ContentSize);
    if (const QScreen* const screen = QGuiApplication::primaryScreen()) {
        window->setGeometry(
            QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window->size(), screen->availableGeometry()));
    }
    connect(window.get(), &TerminalWindow::closing, this, [this, closed = window.get()] { onWindowClosing(closed); });
    present(*window, focus);
    m_terminalWindow = std::move(window);
}

void WindowManager::present(TerminalWindow& window, Focus focus)
{
    if (focus == Focus::Take) {
        window.showActivated();
    } else {
        window.showWithoutFocus();
    }
}

void WindowManager::onWindowClosing(TerminalWindow* window)
{
    Log::print(u"🪟 Window closing notification received");
    if (m_terminalWindow.get() != window) {
        return;
    }
    // The window is still inside its close handling: it goes once that has returned.
    TerminalWindow* const closing = m_terminalWindow.release();
    // The view's caches and the window's buffers are gone for good: give their memory back.
    connect(closing, &QObject::destroyed, this, [] { ProcessControl::releaseFreeMemory(); });
    closing->deleteLater();
}

void WindowManager::setWindowMenuActions(const QList<QAction*>& actions)
{
    m_menuActions.clear();
    for (QAction* const action : actions) {
        m_menuActions.append(action);
    }
}

QList<QAction*> WindowManager::menuActions() const
{
    QList<QAction*> actions;
    for (const QPointer<QAction>& action : m_menuActions) {
        if (action) {
            actions.append(action);
        }
    }
    return actions;
}
