#include "terminal/terminal_window.h"

#include "terminal/find_bar.h"
#include "terminal/terminal_view.h"

#include <QAction>
#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>
#include <QVBoxLayout>
#include <QWindow>

TerminalWindow::TerminalWindow(CorvaltManager& manager, const QList<QAction*>& menuActions)
    : QMainWindow(nullptr,
                  Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                      Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint)
{
    auto* const content = new QWidget(this);
    auto* const view = new TerminalView(manager, content);
    auto* const findBar = new FindBar(*view, content);
    auto* const layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(view, 1);
    layout->addWidget(findBar);
    setCentralWidget(content);
    auto* const find = new QAction(QStringLiteral("Find"), this);
    find->setShortcut(QKeySequence::Find);
    connect(find, &QAction::triggered, findBar, &FindBar::open);
    addAction(find);
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

void TerminalWindow::showWithoutFocus()
{
    if (isVisible()) {
        raise();
        return;
    }
    // Window managers differ in what keeps a newly mapped window from the focus: the user time
    // this attribute sets, or a window that refuses the focus until it is on screen.
    setAttribute(Qt::WA_ShowWithoutActivating);
    winId();
    windowHandle()->setFlag(Qt::WindowDoesNotAcceptFocus);
    windowHandle()->installEventFilter(this);
    show();
    raise();
}

void TerminalWindow::showActivated()
{
    acceptFocus();
    setAttribute(Qt::WA_ShowWithoutActivating, false);
    show();
    raise();
    activateWindow();
}

bool TerminalWindow::eventFilter(QObject* watched, QEvent* event)
{
    // By the time the window is exposed, the window manager has placed the focus.
    if (watched == windowHandle() && event->type() == QEvent::Expose && windowHandle()->isExposed()) {
        acceptFocus();
    }
    return QMainWindow::eventFilter(watched, event);
}

void TerminalWindow::acceptFocus()
{
    if (QWindow* const window = windowHandle()) {
        window->removeEventFilter(this);
        window->setFlag(Qt::WindowDoesNotAcceptFocus, false);
    }
}
