#include "terminal/terminal_window.h"

#include "terminal/terminal_view.h"

#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>

TerminalWindow::TerminalWindow(CorvaltManager& manager, const QList<QAction*>& menuActions)
    : QMainWindow(nullptr,
                  Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                      Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint)
{
    auto* const view = new TerminalView(manager, this);
    setCentralWidget(view);
    if (!menuActions.isEmpty()) {
        auto* bar = new QMenuBar(this);
        bar->addMenu(QStringLiteral("Corvalt"))->addActions(menuActions);
        setMenuBar(bar);
    }
    // Keys work on the output from the moment the window opens.
    view->setFocus();
}

TerminalWindow::~TerminalWindow() = default;

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
