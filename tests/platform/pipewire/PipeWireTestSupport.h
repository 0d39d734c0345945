#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/pipewire/PipeWireAudioHardware.h"
#include "platform/dispatch/RealDispatcher.h"
#include "tests/support/AudioProperties.h"
#include "tests/support/Eventually.h"

// Support for the tests against a real PipeWire server: a private session (D-Bus, PipeWire,
// WirePlumber and two null sinks in a runtime directory of its own), child processes, and a
// recorder of what reaches a sink.
namespace tobble::audio::pipewire::testing {

// The tone players' 1 kHz sine at amplitude 0.5, and the rate everything runs at.
constexpr double kToneRms = 0.5 / 1.4142135623730951;
constexpr uint64_t kRate = 48000;

// Writes ten seconds of a 440 Hz stereo tone as 16-bit WAV at 48 kHz to `path`; returns it.
std::string writeToneWav(const std::string& path);

// Empty when every program the session needs is installed, else the missing one's name.
std::optional<std::string> missingProgram();

class PrivateSession {
  public:
    // Starts everything and points this process's environment at it. Sinks: "spk1" (Speakers,
    // the default) and "hp2" (USB Headphones).
    PrivateSession();
    ~PrivateSession();
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    // Runs a command to completion with the session's environment; its exit status.
    static int run(const std::vector<std::string>& argv);
    // Kills the session manager (as a crash would) and starts a new one; true once the new one
    // has published the default output again. The two sinks go with the old one and come back
    // (same names, new nodes) under the new one, as a desktop's sound cards do: the session
    // manager's device monitor owns them there.
    bool restartPolicyManager();
    // One of the two sinks, as the session starts it (after a test removed it).
    static bool createSink(const std::string& name);
    // Writes the user's choice of default output, as a desktop's sound settings do.
    static bool setDefaultSink(const std::string& name);
    // The same two halves without any wait, for callers that must not block on a server the
    // restart may leave hanging.
    void killPolicyManager();
    void startPolicyManager();
    pid_t serverPid() const { return daemons_.size() > 1 ? daemons_[1] : -1; }

  private:
    bool createSinks();
    static bool waitUntil(const std::string& shellCondition);

    std::string dir_;
    std::vector<pid_t> daemons_;
    size_t policyManager_ = 0;  // index in daemons_
    bool ok_ = false;
    std::string error_;
};

// A child process we start and always reap.
class Child {
  public:
    explicit Child(const std::vector<std::string>& argv);
    ~Child();
    pid_t pid() const { return pid_; }
    void kill(int signal);
    // The child's wait status once it has ended, or nothing if it is still running at `timeout`.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);

  private:
    pid_t pid_ = -1;
};

// Records the two monitor ports of a sink through explicit links (no policy involved). The
// monitor carries the sink's input before its own volume.
class SinkRecorder {
  public:
    explicit SinkRecorder(const std::string& sinkName, double maxSeconds = 30.0);
    ~SinkRecorder();
    bool ok() const;
    uint64_t frames() const;
    // RMS and peak of the left channel over [from, to) frames.
    double rms(uint64_t from, uint64_t to) const;
    float peak(uint64_t from, uint64_t to) const;
    // Waits (real time) until `count` more frames have been recorded; false on timeout.
    bool waitFrames(uint64_t count, double timeoutSeconds = 5.0) const;
    // RMS of the left channel over the next `seconds` recorded, skipping what is recorded already.
    double levelOfNext(double seconds) const;
    // RMS of the left channel over the frames played in [fromNsec, toNsec), each frame placed by
    // its own cycle's clock (robust when the sink changes driver and its cycles jump).
    double rmsAt(uint64_t fromNsec, uint64_t toNsec) const;
    // The graph's clock (CLOCK_MONOTONIC ns) at the last recorded frame.
    uint64_t lastNsec() const;
    // The graph's clock at the first frame from `fromNsec` on whose magnitude passes `level`.
    std::optional<uint64_t> nsecOfFirstAbove(float level, uint64_t fromNsec) const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

using tobble::testing::deviceWithUID;
using tobble::testing::eventually;
using tobble::testing::readIDs;
using tobble::testing::readString;
using tobble::testing::valueOf;
using tobble::testing::write;

// One private session for a whole suite, and a backend connected to it for each test. Skips
// when the session's programs are not installed.
class SessionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

    static PrivateSession* session_;
    dispatch::RealDispatcher dispatcher_;
    std::unique_ptr<PipeWireAudioHardware> hw_;
};

}  // namespace tobble::audio::pipewire::testing
