// The tray program as shipped, with the configuration of the end-to-end test's variant (server,
// authority and sweep pattern from the environment) and nothing added: what the fault suite
// and the benchmarks run.
#include "app/tray_application.h"
#include "tests/support/environment_configuration.h"

int main(int argc, char** argv)
{
    return TrayApplication::run(argc, argv, configurationFromEnvironment());
}
