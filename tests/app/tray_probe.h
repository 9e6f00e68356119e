#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

// Built into the test variant of the tray program only: prints one line whenever what a user
// could see changes (tray icon, terminal windows, their menu bar, an open menu), with the screen
// positions a test needs to click. Fields are separated by tabs:
//   🧪 state  tray=1  icon=x,y,w,h  tooltip=T  windows=1  window=x,y,w,h  wid=N  menubar=T@x,y|…  menu=L@x,y|-|…
class TrayProbe : public QObject
{
    Q_OBJECT

public:
    explicit TrayProbe(QObject* parent = nullptr);

private:
    void inspect();
    QString describe() const;

    QTimer m_timer;
    QString m_last;
};
