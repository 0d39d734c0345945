#include "platform/dispatch/QueueCheck.h"

#include <cstdio>
#include <cstdlib>

#include "platform/dispatch/CurrentQueue.h"

namespace tobble::dispatch {

void failQueueCheck(const Queue& queue, const std::source_location& where) {
    const Queue* current = CurrentQueue::get();
    std::fprintf(stderr, "%s:%u: %s must run on queue \"%s\" but ran on %s%s%s\n",
                 where.file_name(), static_cast<unsigned>(where.line()), where.function_name(),
                 queue.label().c_str(), current ? "queue \"" : "no queue",
                 current ? current->label().c_str() : "", current ? "\"" : "");
    std::abort();
}

}  // namespace tobble::dispatch
