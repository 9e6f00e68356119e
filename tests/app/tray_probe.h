#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

// Built into the test variant of the tray program only: prints one line whenever what a user
// could see changes, with the screen positions a test needs to click. Tab-separated fields:
//   🧪 state  icon=x,y,w,h  windows=N  menubar=T@x,y|…  menu=L@x,y|-|…
// where windows counts terminal windows the display server has exposed.
class TrayProbe : public QObject
{
    Q_OBJECT

public:
    explicit TrayProbe(QObject* parent = nullptr);

private:
    static QString describe();

    QTimer m_timer;
    QString m_last;
};
