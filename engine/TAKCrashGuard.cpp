#include "engine/TAKCrashGuard.h"

#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <csignal>
#include <mutex>

#include "engine/core/TAKLog.h"

namespace tobble::engine {

using namespace audio;

namespace {

// Plain memory for the signal handler: allocated once, never freed, read without the lock.
AudioObjectID* gAggregateSlots = nullptr;
volatile int32_t gAggregateCount = 0;
std::mutex gAggregateLock;
std::atomic<AudioHardware*> gHardware{nullptr};
bool gInstalled = false;

constexpr int kHandledSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGTRAP};
// Half a second for the aggregates' destruction: the process still dies within a second.
constexpr suseconds_t kBackstopMicroseconds = 500'000;

volatile sig_atomic_t gFatalSignal = 0;

// The backstop: destroying the aggregates may wait on a lock or a cycle that the crash itself
// holds. Whatever thread the alarm lands on ends the process with the original signal.
extern "C" void takCrashBackstopHandler(int) {
    const int sig = gFatalSignal;
    std::signal(sig, SIG_DFL);
    sigset_t fatal;
    sigemptyset(&fatal);
    sigaddset(&fatal, sig);
    pthread_sigmask(SIG_UNBLOCK, &fatal, nullptr);
    std::raise(sig);
}

extern "C" void takCrashSignalHandler(int sig) {
    std::signal(sig, SIG_DFL);
    gFatalSignal = sig;
    std::signal(SIGALRM, takCrashBackstopHandler);
    itimerval backstop{};
    backstop.it_value.tv_usec = kBackstopMicroseconds;
    setitimer(ITIMER_REAL, &backstop, nullptr);
    AudioHardware* hardware = gHardware.load(std::memory_order_relaxed);
    if (gAggregateSlots && hardware) {
        const int32_t count = gAggregateCount;
        for (int32_t i = 0; i < count && i < TAKCrashGuard::kCapacity; ++i) {
            if (gAggregateSlots[i] != 0) hardware->destroyAggregateDevice(gAggregateSlots[i]);
        }
    }
    std::raise(sig);
}

}  // namespace

void TAKCrashGuard::install(AudioHardware& hardware) {
    std::lock_guard lock(gAggregateLock);
    gHardware.store(&hardware);
    if (gInstalled) return;
    gAggregateSlots = new AudioObjectID[kCapacity]();
    for (int sig : kHandledSignals) std::signal(sig, takCrashSignalHandler);
    gInstalled = true;
}

bool TAKCrashGuard::installed() {
    std::lock_guard lock(gAggregateLock);
    return gInstalled;
}

void TAKCrashGuard::track(AudioObjectID aggregate) {
    bool full = false;
    {
        std::lock_guard lock(gAggregateLock);
        if (!gAggregateSlots) return;
        if (gAggregateCount > kCapacity - 1) {
            full = true;
        } else {
            gAggregateSlots[gAggregateCount] = aggregate;
            gAggregateCount = gAggregateCount + 1;
        }
    }
    if (full) {
        TAKLog::log().error("CrashGuard: tracking slot limit " + std::to_string(kCapacity) +
                            " reached, id=" + std::to_string(aggregate) + " skipped");
    }
}

void TAKCrashGuard::untrack(AudioObjectID aggregate) {
    std::lock_guard lock(gAggregateLock);
    if (!gAggregateSlots) return;
    const int32_t count = gAggregateCount;
    for (int32_t i = 0; i < count; ++i) {
        if (gAggregateSlots[i] != aggregate) continue;
        // Order does not matter: the last entry fills the hole.
        gAggregateSlots[i] = gAggregateSlots[count - 1];
        gAggregateSlots[count - 1] = 0;
        gAggregateCount = count - 1;
        return;
    }
}

std::vector<AudioObjectID> TAKCrashGuard::trackedForTesting() {
    std::lock_guard lock(gAggregateLock);
    if (!gAggregateSlots) return {};
    return std::vector<AudioObjectID>(gAggregateSlots, gAggregateSlots + gAggregateCount);
}

void TAKCrashGuard::clearForTesting() {
    std::lock_guard lock(gAggregateLock);
    if (!gAggregateSlots) return;
    for (int i = 0; i < kCapacity; ++i) gAggregateSlots[i] = 0;
    gAggregateCount = 0;
}

}  // namespace tobble::engine
