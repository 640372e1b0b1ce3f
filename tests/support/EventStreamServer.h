#pragma once

#include "support/LocalServer.h"  // EventStreamServer
