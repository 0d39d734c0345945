#pragma once

namespace tobble::engine::constants {

inline constexpr double kWatcherDebounceSeconds = 0.1;
inline constexpr double kAudibleTimerSeconds = 1.0;
inline constexpr double kReconcileTimerSeconds = 1.0;
// An application must have been silent for longer than this before it may be evicted.
inline constexpr double kEvictionSilenceSeconds = 5.0;
// An exited application keeps its pipeline this long, in case it comes back.
inline constexpr int kDeferredTeardownSeconds = 30;
// Warm-up silence of a new pipeline: long enough to hide the first, often glitchy buffers; the
// first pipeline on a sleeping wireless output waits for the device to wake.
inline constexpr int kWarmupMs = 43;
inline constexpr int kIdleBluetoothWarmupMs = 400;
inline constexpr double kFallbackSampleRate = 48000.0;

}  // namespace tobble::engine::constants
