// Connects the controller and the tray menu to receiver discovery.
#pragma once

#include "discovery/discovery.h"
#include "shell/controller.h"

extern const ControllerDiscoveryOps kDiscoveryOps;

// Why a speaker with this format cannot be chosen: a SpeakerUnusable reason.
int32_t SpeakerUnusableReason(RaopFormat format);
