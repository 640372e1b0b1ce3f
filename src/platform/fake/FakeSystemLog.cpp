#include "platform/fake/FakeSystemLog.h"
