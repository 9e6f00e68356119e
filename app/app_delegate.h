#pragma once

#include <QObject>

// The launch and termination sequences: at launch the tool is set up and started and the
// terminal window opens by itself; at termination the tool is stopped.
class AppDelegate : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Once, from the event loop, when the application has finished launching.
    void applicationDidFinishLaunching();
    // Once, when the application is about to terminate.
    void applicationWillTerminate();
};
