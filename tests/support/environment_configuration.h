#pragma once

#include "manager/manager_config.h"

// The configuration of the test's variant of the tray program: server, certificate authority,
// signing key and sweep word come from TRAY_TEST_* variables; a missing one ends the program.
ManagerConfig configurationFromEnvironment();
