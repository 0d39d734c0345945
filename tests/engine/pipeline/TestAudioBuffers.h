#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/audio/AudioTypes.h"

namespace tobble::testing {

// Interleaved float samples and a one-buffer list pointing at them, as an I/O cycle gets them.
// list() hands out the same list object every time and allocates nothing.
class TestAudioBuffers {
  public:
    TestAudioBuffers(uint32_t channelCount, size_t frameCount, float value = 0.0f)
        : channels(channelCount), samples(static_cast<size_t>(channelCount) * frameCount, value) {}

    audio::AudioBufferList& list() {
        list_.mNumberBuffers = 1;
        list_.mBuffers[0].mNumberChannels = channels;
        list_.mBuffers[0].mDataByteSize = static_cast<uint32_t>(samples.size() * sizeof(float));
        list_.mBuffers[0].mData = samples.data();
        return list_;
    }

    float& at(size_t frame, uint32_t channel) { return samples[frame * channels + channel]; }
    size_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }

    void fill(float value) { samples.assign(samples.size(), value); }
    void fillChannel(uint32_t channel, float value) {
        for (size_t frame = 0; frame < frames(); ++frame) at(frame, channel) = value;
    }
    bool channelIs(uint32_t channel, float value) {
        for (size_t frame = 0; frame < frames(); ++frame) {
            if (at(frame, channel) != value) return false;
        }
        return true;
    }
    bool isSilent() const {
        for (float sample : samples) {
            if (sample != 0.0f) return false;
        }
        return true;
    }

    uint32_t channels;
    std::vector<float> samples;

  private:
    audio::AudioBufferList list_;
};

inline audio::AudioTimeStamp timeStampAt(uint64_t hostTime) {
    return audio::AudioTimeStamp{.mHostTime = hostTime,
                                 .mFlags = audio::AudioTimeStamp::kHostTimeValid};
}

}  // namespace tobble::testing
