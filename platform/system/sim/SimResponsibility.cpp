#include <map>
#include <mutex>

#include "platform/system/sim/SimRunningApplications.h"

namespace tobble::system::sim {

struct SimResponsibility::Table {
    std::mutex mutex;
    std::map<pid_t, pid_t> responsibleFor;
};

std::shared_ptr<SimResponsibility::Table> SimResponsibility::makeTable() {
    return std::make_shared<Table>();
}

void SimResponsibility::set(pid_t child, pid_t responsible) {
    std::lock_guard lock(table_->mutex);
    table_->responsibleFor.insert_or_assign(child, responsible);
}

void SimResponsibility::clear(pid_t child) {
    std::lock_guard lock(table_->mutex);
    table_->responsibleFor.erase(child);
}

ResponsibleProcessLookup SimResponsibility::lookup() const {
    // The function shares the table, so it keeps answering (and sees later changes) however
    // long the caller holds on to it.
    return [table = table_](pid_t child) -> std::optional<pid_t> {
        std::lock_guard lock(table->mutex);
        auto it = table->responsibleFor.find(child);
        // Like the operating system's query: a process responsible for itself, or an invalid
        // pid, is no answer.
        if (it == table->responsibleFor.end() || it->second < 1 || it->second == child) {
            return std::nullopt;
        }
        return it->second;
    };
}

}  // namespace tobble::system::sim
