// Connects the controller and the tray menu to receiver discovery.
#pragma once

#include "shell/controller.h"

extern const ControllerDiscoveryOps kDiscoveryOps;
