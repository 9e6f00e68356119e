#pragma once

#include <QList>
#include <QMainWindow>

class CorvaltManager;
class QAction;
class TerminalView;

// The top-level terminal window: a terminal view as its whole content, and, where the desktop
// has no tray to hold the application's menu, that menu in a menu bar.
class TerminalWindow : public QMainWindow
{
    Q_OBJECT

public:
    TerminalWindow(CorvaltManager& manager, const QList<QAction*>& menuActions);
    ~TerminalWindow() override;

    TerminalView& view() const { return *m_view; }
    // Shows the actions in a menu titled "Corvalt"; no menu bar when there are none.
    void setMenuActions(const QList<QAction*>& actions);
    // Sizes the window so that its content, below any menu bar, has this size.
    void setContentSize(const QSize& size);

Q_SIGNALS:
    // Once, when the window is about to close.
    void closing();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    TerminalView* m_view;
    bool m_closing = false;
};
