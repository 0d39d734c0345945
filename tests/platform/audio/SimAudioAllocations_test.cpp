// The device cycle must not allocate once warmed up, however many processes and callbacks it
// serves. Counted with a replaced global operator new: a busy second must cost exactly as many
// allocations per cycle as an idle one (the dispatcher's own timer bookkeeping).
#include <atomic>
#include <cstdlib>
#include <new>

#include "tests/platform/audio/SimTestSupport.h"

namespace {
std::atomic<uint64_t> gAllocations{0};
}  // namespace

// g++ sees free() on memory from operator new and warns; here both halves are ours and match.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace tobble::audio::sim::testing {
namespace {

class SimAudioAllocationsTest : public SimFixture {
  protected:
    struct Span {
        uint64_t allocations;
        size_t cycles;
    };

    Span measureSecond() {
        const size_t before = sim.cycles("speakers").size() + sim.cycles("headphones").size();
        const uint64_t start = gAllocations.load();
        dispatcher.advance(1.0);
        const uint64_t allocations = gAllocations.load() - start;
        const size_t after = sim.cycles("speakers").size() + sim.cycles("headphones").size();
        return {allocations, after - before};
    }
};

TEST_F(SimAudioAllocationsTest, BusyCyclesAllocateNoMoreThanIdleOnes) {
    std::vector<AudioObjectID> players;
    for (pid_t pid = 501; pid < 505; ++pid) players.push_back(addPlayer(pid, 0.2f, 200.0 * pid));
    const Pipeline a = buildPipeline({players[0], players[1]}, "speakers", gainBlock(0.5f));
    const Pipeline b = buildPipeline({players[2]}, "headphones", gainBlock(0.5f));
    IOProcID keepAlive = 0;
    ASSERT_EQ(sim.createIOProcID(speakers, ioQueue, gainBlock(1), keepAlive), 0);
    ASSERT_EQ(sim.deviceStart(speakers, keepAlive), 0);
    dispatcher.advance(1.0);  // warm up

    const Span busy = measureSecond();

    for (AudioObjectID p : players) sim.stopPlaying(p);
    sim.deviceStop(a.aggregate, a.proc);
    sim.deviceStop(b.aggregate, b.proc);
    sim.deviceStop(speakers, keepAlive);
    dispatcher.advance(1.0);
    const Span idle = measureSecond();

    ASSERT_GT(busy.cycles, 0u);
    ASSERT_GT(idle.cycles, 0u);
    EXPECT_EQ(busy.allocations % busy.cycles, 0u);
    EXPECT_EQ(busy.allocations / busy.cycles, idle.allocations / idle.cycles)
        << "busy " << busy.allocations << " in " << busy.cycles << " cycles, idle "
        << idle.allocations << " in " << idle.cycles;
}

}  // namespace
}  // namespace tobble::audio::sim::testing
