#pragma once

#include "platform/audio/AudioHardware.h"
#include "platform/dispatch/Dispatcher.h"
#include "platform/system/ProcessTable.h"
#include "platform/system/RunningApplications.h"
#include "platform/system/UserDefaults.h"

namespace tobble {

// Everything engine and services reach of the outside world, injected as one value. The app
// builds it over the real backends; tests and the scenario runner build it over the simulated
// system and virtual time. The referenced objects outlive every user of the environment.
struct Environment {
    dispatch::Dispatcher& dispatcher;
    audio::AudioHardware& audio;
    system::ProcessTable& processes;
    system::RunningApplications& applications;
    system::UserDefaults& defaults;
    system::ResponsibleProcessLookup responsibleProcess;  // may be empty
};

}  // namespace tobble
