#pragma once

#include "manager/corvalt_manager.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <memory>

class QAction;
class QWidget;
class TerminalWindow;

// Owns the one terminal window: opens it on request, brings it to the front when it is already
// open, and forgets it when it closes, so that the next request builds a new one with a new view
// and model. Closing the window leaves the tool and its output alone. Main thread only.
class WindowManager : public QObject
{
    Q_OBJECT

public:
    explicit WindowManager(CorvaltManager& manager, QObject* parent = nullptr);
    ~WindowManager() override;

    enum class Focus {
        Take,  // the user asked for the window: it becomes the active one
        Leave, // it opens by itself: in front, but the keyboard stays where the user types
    };

    void openTerminalWindow(Focus focus = Focus::Take);
    // The open window, or null.
    QWidget* terminalWindow() const;

    // Actions shown in a "Corvalt" menu of every terminal window built from now on, for desktops
    // without a tray.
    void setWindowMenuActions(const QList<QAction*>& actions);

private:
    static void present(TerminalWindow& window, Focus focus);
    void onWindowClosing(TerminalWindow* window);
    QList<QAction*> menuActions() const;

    CorvaltManager& m_manager;
    std::unique_ptr<TerminalWindow> m_terminalWindow;
    QList<QPointer<QAction>> m_menuActions;
};
