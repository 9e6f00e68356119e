#pragma once

#include <QList>
#include <QMainWindow>

class CorvaltManager;
class QAction;

// The top-level terminal window: a terminal view as its whole content, and, where the desktop
// has no tray to hold the application's menu, that menu in a menu bar.
class TerminalWindow : public QMainWindow
{
    Q_OBJECT

public:
    // With actions, the window shows them in a menu titled "Corvalt".
    TerminalWindow(CorvaltManager& manager, const QList<QAction*>& menuActions);
    ~TerminalWindow() override;

    // Sizes the window so that its content, below any menu bar, has this size.
    void setContentSize(const QSize& size);

Q_SIGNALS:
    // Once, when the window is about to close.
    void closing();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    bool m_closing = false;
};
