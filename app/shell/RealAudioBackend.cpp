#include "app/shell/AudioBackend.h"

namespace tobble::shell {

// The PipeWire backend replaces this body: connect to the server and return null when it
// cannot be reached, so `tobble` falls back to the simulated system.
std::unique_ptr<AudioBackend> makeRealAudioBackend(dispatch::QueuePtr /*mainQueue*/) {
    return nullptr;
}

}  // namespace tobble::shell
