#pragma once

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <chrono>
#include <thread>

// The test programs' playback: one stereo 32-bit float stream at 48 kHz, linked by the session
// manager like any application's, its process callback on the data thread. The stream is stored
// in `slot` (where the callback finds it) before it connects. Plays for `seconds`, then leaves.
namespace tobble::audio::pipewire::testing {

inline void playStereo(const char* name, pw_properties* props, const pw_stream_events& events,
                       void* data, pw_stream** slot, double seconds) {
    pw_thread_loop* loop = pw_thread_loop_new(name, nullptr);
    pw_thread_loop_start(loop);
    pw_thread_loop_lock(loop);
    pw_stream* stream =
        pw_stream_new_simple(pw_thread_loop_get_loop(loop), name, props, &events, data);
    *slot = stream;
    uint8_t buffer[512];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = 48000;
    info.channels = 2;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
    pw_stream_connect(
        stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_RT_PROCESS),
        params, 1);
    pw_thread_loop_unlock(loop);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    pw_thread_loop_lock(loop);
    pw_stream_destroy(stream);
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    pw_thread_loop_destroy(loop);
}

}  // namespace tobble::audio::pipewire::testing
