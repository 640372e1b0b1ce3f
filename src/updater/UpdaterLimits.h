#pragma once

#include "updater/Updater.h"

// Shared by the manifest fetch and the package download.
namespace tarvo::updater_detail {

const Updater::Environment::Limits& limits();
// This system's packages; none when the environment named none.
platform::UpdatePackages* packages();
// True once the whole check running on this thread has used up its time.
bool checkTimeIsUp();
UpdateError checkTimeError();

}  // namespace tarvo::updater_detail
