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

    // Shows the window without taking the keyboard from where the user types; once on screen
    // it takes the focus like any other window when clicked or activated.
    void showWithoutFocus();
    // Shows the window and makes it the active one.
    void showActivated();

Q_SIGNALS:
    // Once, when the window is about to close.
    void closing();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void acceptFocus();

    bool m_closing = false;
};
