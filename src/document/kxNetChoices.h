#pragma once

// The window's choices of how a search talks to the network: NetBIOS names where DNS has none
// (on unless turned off) and servers that speak only SMB1 (off unless allowed). Kept in the
// settings beside the window's stored state, so a restart keeps them; orvane-scan takes them
// from its options instead.

#include "engine/kxServices.h"

TkxNetOptions LoadNetOptions();
void SaveNetOptions(const TkxNetOptions& options);
