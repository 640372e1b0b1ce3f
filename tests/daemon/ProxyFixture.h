#pragma once
// Kept for the end-to-end tests' includes; everything lives in DaemonFixture.h.
#include "DaemonFixture.h"
