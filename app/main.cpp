#include "app/tray_application.h"
#include "manager/manager_config.h"

// TrayApplication::run() builds the program from the configuration of this build and runs it;
// the way out of every ending is TrayApplication::shutDown().
int main(int argc, char** argv)
{
    return TrayApplication::run(argc, argv, ManagerConfig::builtIn());
}
