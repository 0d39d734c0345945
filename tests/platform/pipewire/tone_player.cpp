// A stand-in application for the PipeWire tests: a real PipeWire client playing a 1 kHz sine
// on one stereo stream until killed or until its time is up.
//   tobble_pw_tone AMPLITUDE SECONDS [--helper]
// With --helper it starts a copy of itself as a child process (the "helper") that plays, while
// the parent itself stays silent: the shape of a browser playing through a helper process.
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

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
    pw_thread_loop* loop = pw_thread_loop_new("tone", nullptr);
    pw_thread_loop_start(loop);
    Player player;
    player.amplitude = amplitude;
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = onProcess;
        return e;
    }();
    pw_thread_loop_lock(loop);
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
        PW_KEY_APP_NAME, "Tone Player", PW_KEY_APP_ICON_NAME, "audio-x-generic", nullptr);
    player.stream =
        pw_stream_new_simple(pw_thread_loop_get_loop(loop), "tone", props, &events, &player);
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
        player.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_RT_PROCESS),
        params, 1);
    pw_thread_loop_unlock(loop);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    pw_thread_loop_lock(loop);
    pw_stream_destroy(player.stream);
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    pw_thread_loop_destroy(loop);
    return 0;
}
