#pragma once

#include <cstdint>

// The engine's timing. Each value says where it comes from; tests and the scenario runner rely on
// them, so a change is a change of behaviour.
namespace tobble::engine::constants {

// An application starting to play flips several process objects to running within a few tens of
// milliseconds; 100 ms of quiet gathers the burst into one pass and still taps the application
// before much of its sound has been heard. Over PipeWire it also lets a PulseAudio client's new
// stream finish the latency renegotiation pipewire-pulse makes as it starts: a stream moved into
// its tap within that time underruns its server-side buffer (measured with a 5 ms wait: gaps of
// 270 ms and more in one start in ten, once a stall of seconds, against at most 90 ms here).
inline constexpr double kWatcherDebounceSeconds = 0.1;
// The timers are the safety net behind the notifications: a missed notification is noticed within
// a second, which costs one idle pass a second.
inline constexpr double kAudibleTimerSeconds = 1.0;
inline constexpr double kReconcileTimerSeconds = 1.0;
// Longer than the pauses of an application that is playing (a track change, buffering), so only an
// application that has really stopped is evicted when all slots are taken.
inline constexpr double kEvictionSilenceSeconds = 5.0;
// Covers an application restarting or reloading its audio: it comes back to its pipeline instead of
// being heard at full level while a new one is built.
inline constexpr int kDeferredTeardownSeconds = 30;
// Warm-up silence of a new pipeline: 43 ms is two 1024-frame device cycles at 48 kHz (2064 frames),
// enough to hide the first, often glitchy buffers of a new aggregate. A sleeping Bluetooth output
// needs a few hundred milliseconds to resume its link; sound sent before then is lost or clicks.
inline constexpr int kWarmupMs = 43;
inline constexpr int kIdleBluetoothWarmupMs = 400;
// The rate desktop sound servers run at by default; used when a tap's format cannot be read.
inline constexpr double kFallbackSampleRate = 48000.0;

// Cross-fade migration.
// Plugging in a device announces it several times within a few tens of milliseconds.
inline constexpr double kDevicesListDebounceSeconds = 0.05;
// The new pipeline's warm-up, as for a new pipeline above; 2064 frames is 43 ms at 48 kHz.
inline constexpr double kSecondaryWarmupSeconds = 0.043;
inline constexpr int64_t kSecondaryWarmupFallbackFrames = 2064;
// How long an output takes to start pulling from a new aggregate: a wired device within a few
// cycles, a Bluetooth device only after it has renegotiated its link.
inline constexpr double kSettleLimitSeconds = 0.1;
inline constexpr double kBluetoothSettleLimitSeconds = 0.5;
// The new pipeline is delivering once it has processed two full 1024-frame cycles (strictly more
// than 2047 frames).
inline constexpr int64_t kSecondaryReadyFrames = 2047;
// 50 ms is long enough for the fade to be free of clicks and short enough not to be heard as a
// move; a fade that has not finished after three times that is cut over rather than left hanging.
inline constexpr double kFadeSeconds = 0.05;
inline constexpr double kFadeLimitSeconds = 0.15;
// Well below one 1024-frame cycle (21 ms at 48 kHz), so the waits end within a few percent of
// their goal.
inline constexpr double kPollSeconds = 0.002;

// A removal (callback, aggregate, tap) that fails is tried again on every pass; stop() tries a
// few times at once, which is enough for a call that failed because the server was busy.
inline constexpr int kStopRemovalAttempts = 3;

// Health monitor.
// Often enough to notice a stopped pipeline within seconds, rarely enough to cost nothing.
inline constexpr double kHealthPeriodSeconds = 2.0;
// A new callback host gets time to start, Bluetooth wake-up and warm-up included, before its
// silence counts against it.
inline constexpr double kActivationGraceSeconds = 5.0;
// A running callback is called every few milliseconds; three seconds without one is a stopped
// device, not a hiccup.
inline constexpr double kLateCallbackNanos = 3'000'000'000.0;
inline constexpr int kLateCallbackSecondsForLog = 3;
// Three checks in a row (six seconds) before rebuilding, so a passing stall does not cost a
// rebuild; after one, twenty seconds before the next, so a device that keeps failing does not
// cause a rebuild loop.
inline constexpr int kMissesBeforeRecovery = 3;
inline constexpr double kRecoveryCooldownSeconds = 20.0;

}  // namespace tobble::engine::constants
