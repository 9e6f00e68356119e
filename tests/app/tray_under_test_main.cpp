// The tray program as shipped, with the test's configuration and a probe that reports what is
// on the screen.
#include "app/corvalt_mac_app.h"
#include "tray_probe.h"

#include <QCoreApplication>

namespace {
void startProbe()
{
    new TrayProbe(QCoreApplication::instance());
}
} // namespace

Q_COREAPP_STARTUP_FUNCTION(startProbe)

int main(int argc, char** argv)
{
    return Corvalt_MacApp::main(argc, argv);
}
