#pragma once

#include <cstdint>

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

// Cross-fade migration.
inline constexpr double kDevicesListDebounceSeconds = 0.05;
inline constexpr double kSecondaryWarmupSeconds = 0.043;
inline constexpr int64_t kSecondaryWarmupFallbackFrames = 2064;
inline constexpr double kSettleLimitSeconds = 0.1;
inline constexpr double kBluetoothSettleLimitSeconds = 0.5;
inline constexpr int64_t kSecondaryReadyFrames = 2047;  // ready when strictly more were processed
inline constexpr double kFadeSeconds = 0.05;
inline constexpr double kFadeLimitSeconds = 0.15;
inline constexpr double kPollSeconds = 0.002;

// Health monitor.
inline constexpr double kHealthPeriodSeconds = 2.0;
inline constexpr double kActivationGraceSeconds = 5.0;
inline constexpr double kLateCallbackNanos = 3'000'000'000.0;
inline constexpr int kLateCallbackSecondsForLog = 3;
inline constexpr int kMissesBeforeRecovery = 3;
inline constexpr double kRecoveryCooldownSeconds = 20.0;

}  // namespace tobble::engine::constants
