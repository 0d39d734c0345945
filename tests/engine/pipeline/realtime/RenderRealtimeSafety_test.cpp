// Proves that the installed I/O callback neither allocates nor takes a lock on the rendering
// thread in the cycles that do not log. This executable replaces the global allocation
// functions and the pthread lock entry points with counting versions; they only count on a
// thread while it has counting switched on, so the rest of the test runs normally.

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "engine/pipeline/TAKIOProcHost.h"
#include "platform/dispatch/VirtualDispatcher.h"
#include "platform/log/CaptureSink.h"
#include "tests/engine/pipeline/TestAudioBuffers.h"
#include "tests/support/MockAudioHardware.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizers bring their own allocator and lock interceptors; replacing them would blind them.
#define TOBBLE_COUNT_RT_CALLS 0
#else
#define TOBBLE_COUNT_RT_CALLS 1
#endif

namespace {

thread_local bool tCounting = false;
std::atomic<uint64_t> gAllocatorCalls{0};  // allocations and frees alike
std::atomic<uint64_t> gLocks{0};

// Counts what the calling thread does while alive.
class CountingScope {
  public:
    CountingScope() { tCounting = true; }
    ~CountingScope() { tCounting = false; }
    CountingScope(const CountingScope&) = delete;
    CountingScope& operator=(const CountingScope&) = delete;
};

}  // namespace

#if TOBBLE_COUNT_RT_CALLS

namespace {

void countAllocatorCall() noexcept {
    if (tCounting) gAllocatorCalls.fetch_add(1, std::memory_order_relaxed);
}

void* countedAllocate(std::size_t size) {
    countAllocatorCall();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void* countedAllocateAligned(std::size_t size, std::align_val_t alignment) {
    countAllocatorCall();
    const auto align = static_cast<std::size_t>(alignment);
    const std::size_t rounded = (size + align - 1) / align * align;
    if (void* p = std::aligned_alloc(align, rounded == 0 ? align : rounded)) return p;
    throw std::bad_alloc();
}

void countedFree(void* p) noexcept {
    if (p != nullptr) countAllocatorCall();
    std::free(p);
}

void countLock() noexcept {
    if (tCounting) gLocks.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

// The library's array and nothrow forms call these, so these six see every allocation.
void* operator new(std::size_t size) { return countedAllocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
    return countedAllocateAligned(size, alignment);
}
void operator delete(void* p) noexcept { countedFree(p); }
void operator delete(void* p, std::size_t) noexcept { countedFree(p); }
void operator delete(void* p, std::align_val_t) noexcept { countedFree(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { countedFree(p); }

// Each interposer counts, then forwards to the definition it hides (the C library's). The
// executable exports these symbols, so calls from shared libraries land here as well.
namespace {

template <typename Fn>
Fn hiddenDefinition(std::atomic<Fn>& cache, const char* name) noexcept {
    Fn fn = cache.load(std::memory_order_acquire);
    if (fn == nullptr) {
        fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
        cache.store(fn, std::memory_order_release);
    }
    return fn;
}

using MutexFn = int (*)(pthread_mutex_t*);
using RwlockFn = int (*)(pthread_rwlock_t*);
std::atomic<MutexFn> gMutexLock{nullptr};
std::atomic<MutexFn> gMutexTrylock{nullptr};
std::atomic<RwlockFn> gRwlockRdlock{nullptr};
std::atomic<RwlockFn> gRwlockWrlock{nullptr};

}  // namespace

extern "C" {
int pthread_mutex_lock(pthread_mutex_t* mutex) noexcept {
    countLock();
    return hiddenDefinition(gMutexLock, "pthread_mutex_lock")(mutex);
}
int pthread_mutex_trylock(pthread_mutex_t* mutex) noexcept {
    countLock();
    return hiddenDefinition(gMutexTrylock, "pthread_mutex_trylock")(mutex);
}
int pthread_rwlock_rdlock(pthread_rwlock_t* lock) noexcept {
    countLock();
    return hiddenDefinition(gRwlockRdlock, "pthread_rwlock_rdlock")(lock);
}
int pthread_rwlock_wrlock(pthread_rwlock_t* lock) noexcept {
    countLock();
    return hiddenDefinition(gRwlockWrlock, "pthread_rwlock_wrlock")(lock);
}
}

#endif  // TOBBLE_COUNT_RT_CALLS

namespace tobble::engine {
namespace {

using namespace audio;
using ::testing::_;
using ::testing::DoAll;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SaveArg;
using ::testing::SetArgReferee;
using testing::TestAudioBuffers;
using testing::timeStampAt;

constexpr uint32_t kSlot = 2;
constexpr size_t kFrames = 512;

class RenderRealtimeSafetyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!TOBBLE_COUNT_RT_CALLS) GTEST_SKIP() << "counting hooks are off in sanitizer builds";
        ON_CALL(hardware, createIOProcID(_, _, _, _))
            .WillByDefault(DoAll(SaveArg<2>(&installedBlock), SetArgReferee<3>(IOProcID{1}),
                                 Return(kAudioHardwareNoError)));
        ON_CALL(hardware, deviceStart(_, _)).WillByDefault(Return(kAudioHardwareNoError));
        ON_CALL(hardware, deviceStop(_, _)).WillByDefault(Return(kAudioHardwareNoError));
        ON_CALL(hardware, destroyIOProcID(_, _)).WillByDefault(Return(kAudioHardwareNoError));
        gAllocatorCalls = 0;
        gLocks = 0;
    }

    log::ScopedCapture capture;
    dispatch::VirtualDispatcher dispatcher;
    NiceMock<::tobble::testing::MockAudioHardware> hardware;
    TAKVolumeState volumes;
    TAKRMSBuffer levels;
    TAKIOProcHost host{kSlot,
                       volumes,
                       levels,
                       hardware,
                       dispatcher.clock(),
                       dispatcher.makeSerialQueue("test.ioproc")};
    IOProcBlock installedBlock;
};

TEST_F(RenderRealtimeSafetyTest, TheCountersSeeAllocationsAndLocks) {
    std::mutex mutex;
    {
        CountingScope counting;
        // Through volatile pointers: an optimiser may drop a new/delete pair it can see whole.
        int* volatile one = new int(7);
        delete one;
        int* volatile three = new (std::nothrow) int[3];
        delete[] three;
        const std::lock_guard lock(mutex);
    }
    EXPECT_EQ(gAllocatorCalls.load(), 4u);
    EXPECT_EQ(gLocks.load(), 1u);
}

TEST_F(RenderRealtimeSafetyTest, NoCycleTakesALockOrAllocatesTheLoggedOnesIncluded) {
    TAKCrossfadeState fade;
    fade.beginPreparing(1.0);  // the fade placed by when frames are heard: one tick per frame
    fade.startFading(48000);
    host.attachCrossfade(fade, TAKIOProcHost::Role::secondary);
    host.setWarmupFramesRemaining(600);
    volumes.write(kSlot, 0.8f, false);
    host.start(7);
    ASSERT_TRUE(installedBlock);

    // Every path a cycle can take: the flat stereo loop with the limiter engaged, the wide and
    // the mono layouts, a muted slot, and a cycle without input.
    TestAudioBuffers stereoIn{2, kFrames, 0.5f};
    for (size_t frame = 0; frame < kFrames; frame += 7) stereoIn.at(frame, 1) = -1.5f;
    TestAudioBuffers monoIn{1, kFrames, 0.3f};
    TestAudioBuffers stereoOut{2, kFrames};
    TestAudioBuffers wideOut{6, kFrames};
    AudioBufferList noInput;

    uint64_t allocatorCalls = 0, locks = 0;  // cycles 1 to 1000
    float loudestOutput = 0.0f;
    std::thread renderingThread([&] {
        for (uint64_t cycle = 1; cycle <= 1000; ++cycle) {
            const AudioTimeStamp now = timeStampAt(cycle * kFrames);
            tCounting = true;  // cycles 1, 2, 3, 401 and 801 note their diagnostics too
            switch (cycle % 5) {
                case 0:
                    installedBlock(now, monoIn.list(), stereoOut.list());
                    break;
                case 1:
                    installedBlock(now, stereoIn.list(), wideOut.list());
                    break;
                case 2:
                    installedBlock(now, noInput, stereoOut.list());
                    break;
                default:
                    installedBlock(now, stereoIn.list(), stereoOut.list());
                    break;
            }
            tCounting = false;
            if (cycle == 200) volumes.write(kSlot, 0.8f, true);
            if (cycle == 210) volumes.write(kSlot, 0.8f, false);
            for (float sample : stereoOut.samples) {
                loudestOutput = std::max(loudestOutput, std::abs(sample));
            }
        }
        allocatorCalls = gAllocatorCalls.load();
        locks = gLocks.load();
    });
    renderingThread.join();

    EXPECT_EQ(host.diagCounter(), 1000u);
    EXPECT_NEAR(loudestOutput, 1.0f, 1e-6f);  // audio flowed, through the limiter
    EXPECT_LE(loudestOutput, 1.0f);
    EXPECT_GT(fade.secondarySamplesProcessed(), 0);
    EXPECT_EQ(allocatorCalls, 0u);
    EXPECT_EQ(locks, 0u);
    // Written afterwards, off the audio thread, with the counters seeing the composing.
    {
        CountingScope counting;
        host.writeLog();
    }
    EXPECT_GT(gAllocatorCalls.load(), allocatorCalls);
    EXPECT_EQ(capture->count("IOProc slot=2 tick="), 5u);
    host.detachCrossfade();
    host.stop();
}

}  // namespace
}  // namespace tobble::engine
