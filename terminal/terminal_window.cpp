#include "terminal/terminal_window.h"

#include "terminal/terminal_view.h"

#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>

TerminalWindow::TerminalWindow(CorvaltManager& manager, const QList<QAction*>& menuActions)
    : QMainWindow(nullptr,
                  Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                      Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint)
    , m_view(new TerminalView(manager, this))
{
    setCentralWidget(m_view);
    setMenuActions(menuActions);
    // Keys work on the output from the moment the window opens.
    m_view->setFocus();
}

TerminalWindow::~TerminalWindow() = default;

void TerminalWindow::setMenuActions(const QList<QAction*>& actions)
{
    if (actions.isEmpty()) {
        if (menuWidget()) {
            setMenuWidget(nullptr);
        }
        return;
    }
    auto* bar = new QMenuBar(this);
    QMenu* const menu = bar->addMenu(QStringLiteral("Corvalt"));
    menu->addActions(actions);
    setMenuBar(bar);
}

void TerminalWindow::setContentSize(const QSize& size)
{
    const QWidget* const bar = menuWidget();
    resize(size.width(), size.height() + (bar ? bar->sizeHint().height() : 0));
}

void TerminalWindow::closeEvent(QCloseEvent* event)
{
    event->accept();
    if (!m_closing) {
        m_closing = true;
        Q_EMIT closing();
    }
}
