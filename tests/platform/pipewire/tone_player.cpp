// A stand-in application for the PipeWire tests: a real PipeWire client playing a 1 kHz sine
// on one stereo stream until killed or until its time is up.
//   tobble_pw_tone AMPLITUDE SECONDS [--helper]
// With --helper it starts a copy of itself as a child process (the "helper") that plays, while
// the parent itself stays silent: the shape of a browser playing through a helper process.
#include <pipewire/pipewire.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tests/platform/pipewire/StereoPlayback.h"

#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace {

struct Player {
    pw_stream* stream = nullptr;
    double phase = 0;
    float amplitude = 0.5f;
};

void onProcess(void* data) {
    auto* p = static_cast<Player*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(p->stream);
    if (!b) return;
    spa_data& d = b->buffer->datas[0];
    auto* out = static_cast<float*>(d.data);
    uint32_t n = d.maxsize / 8;
    if (b->requested) n = std::min<uint32_t>(n, static_cast<uint32_t>(b->requested));
    const double step = 2 * M_PI * 1000.0 / 48000.0;
    for (uint32_t i = 0; i < n; ++i) {
        const float v = p->amplitude * static_cast<float>(std::sin(p->phase));
        p->phase = std::fmod(p->phase + step, 2 * M_PI);
        out[2 * i] = out[2 * i + 1] = v;
    }
    d.chunk->offset = 0;
    d.chunk->stride = 8;
    d.chunk->size = n * 8;
    pw_stream_queue_buffer(p->stream, b);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const float amplitude = std::strtof(argv[1], nullptr);
    const double seconds = std::strtod(argv[2], nullptr);
    if (argc > 3 && std::strcmp(argv[3], "--helper") == 0) {
        const pid_t child = fork();
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // the helper never outlives its application
            execl("/proc/self/exe", argv[0], argv[1], argv[2], nullptr);
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return 0;
    }
    pw_init(&argc, &argv);
    Player player;
    player.amplitude = amplitude;
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = onProcess;
        return e;
    }();
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
        PW_KEY_APP_NAME, "Tone Player", PW_KEY_APP_ICON_NAME, "audio-x-generic", nullptr);
    tobble::audio::pipewire::testing::playStereo("tone", props, events, &player, &player.stream,
                                                 seconds);
    return 0;
}
