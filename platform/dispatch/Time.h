#pragma once

namespace tobble::dispatch {

// Durations and instants on the dispatch clock, in seconds.
using Seconds = double;

// Quality of service of a queue. Real-time queues map it to thread priorities where the
// platform allows; virtual time ignores it.
enum class QoS { Background, Utility, Default, UserInitiated, UserInteractive };

}  // namespace tobble::dispatch
