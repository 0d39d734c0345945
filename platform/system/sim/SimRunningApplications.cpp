#include "platform/system/sim/SimRunningApplications.h"

#include <algorithm>
#include <array>

namespace tobble::system::sim {
namespace {

enum class Event { Launch, Termination };

// Tile colours chosen to stay legible under a white letter.
constexpr std::array<uint32_t, 10> kTilePalette = {
    0x3B82F6, 0x10B981, 0xF59E0B, 0xEF4444, 0x8B5CF6,
    0xEC4899, 0x14B8A6, 0xF97316, 0x6366F1, 0x84CC16,
};

// FNV-1a: the colour must not change between runs or library versions, which std::hash does
// not promise.
uint32_t stableHash(std::string_view text) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

// The first character of the name, whole even when it takes several UTF-8 bytes.
std::string firstLetter(std::string_view name) {
    size_t start = name.find_first_not_of(" \t\n");
    if (start == std::string_view::npos) return "?";
    auto lead = static_cast<unsigned char>(name[start]);
    if (lead < 0x80) {
        char c = name[start];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        return std::string(1, c);
    }
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return std::string(name.substr(start, length));
}

IconHandle letterTile(const SimApplication& app) {
    std::string_view colourKey = app.bundleID ? std::string_view(*app.bundleID) : app.name;
    return IconHandle{IconHandle::Kind::LetterTile, firstLetter(app.name),
                      kTilePalette[stableHash(colourKey) % kTilePalette.size()]};
}

}  // namespace

struct SimRunningApplications::Observers {
    struct Entry {
        uint64_t id;
        Event event;
        dispatch::QueuePtr queue;
        // Shared with nothing but the posted deliveries, which hold it weakly: once the token
        // removes the entry, deliveries already on their way do nothing.
        std::shared_ptr<Observer> observer;
    };

    std::mutex mutex;
    std::vector<Entry> entries;
    uint64_t nextID = 1;

    ObservationToken add(const std::shared_ptr<Observers>& self, Event event,
                         dispatch::QueuePtr queue, Observer observer) {
        uint64_t id;
        {
            std::lock_guard lock(mutex);
            id = nextID++;
            entries.push_back(Entry{id, event, std::move(queue),
                                    std::make_shared<Observer>(std::move(observer))});
        }
        std::weak_ptr<Observers> weakSelf = self;
        return ObservationToken(static_cast<void*>(nullptr), [weakSelf, id](void*) {
            if (auto observers = weakSelf.lock()) observers->remove(id);
        });
    }

    void remove(uint64_t id) {
        std::shared_ptr<Observer> released;  // destroyed outside the lock
        std::lock_guard lock(mutex);
        auto it = std::find_if(entries.begin(), entries.end(),
                               [id](const Entry& e) { return e.id == id; });
        if (it == entries.end()) return;
        released = std::move(it->observer);
        entries.erase(it);
    }

    void notify(Event event, pid_t pid) {
        std::vector<std::pair<dispatch::QueuePtr, std::weak_ptr<Observer>>> targets;
        {
            std::lock_guard lock(mutex);
            for (const auto& entry : entries) {
                if (entry.event == event) targets.emplace_back(entry.queue, entry.observer);
            }
        }
        for (auto& [queue, weakObserver] : targets) {
            queue->async([weakObserver = std::move(weakObserver), pid] {
                if (auto observer = weakObserver.lock()) (*observer)(pid);
            });
        }
    }
};

SimRunningApplications::SimRunningApplications() : observers_(std::make_shared<Observers>()) {}

SimRunningApplications::~SimRunningApplications() = default;

void SimRunningApplications::launch(SimApplication app) {
    if (app.icon.kind == IconHandle::Kind::None) app.icon = letterTile(app);
    const pid_t pid = app.pid;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(apps_.begin(), apps_.end(),
                               [pid](const SimApplication& a) { return a.pid == pid; });
        // A pid runs one program at a time: launching it again replaces the record in place.
        if (it != apps_.end()) {
            *it = std::move(app);
        } else {
            apps_.push_back(std::move(app));
        }
    }
    observers_->notify(Event::Launch, pid);
}

void SimRunningApplications::terminate(pid_t pid) {
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(apps_.begin(), apps_.end(),
                               [pid](const SimApplication& a) { return a.pid == pid; });
        if (it == apps_.end()) return;
        apps_.erase(it);
    }
    observers_->notify(Event::Termination, pid);
}

bool SimRunningApplications::isRunning(pid_t pid) const {
    std::lock_guard lock(mutex_);
    return std::any_of(apps_.begin(), apps_.end(),
                       [pid](const SimApplication& a) { return a.pid == pid; });
}

std::vector<RunningApplication> SimRunningApplications::snapshot() const {
    std::lock_guard lock(mutex_);
    std::vector<RunningApplication> out;
    out.reserve(apps_.size());
    for (const auto& app : apps_) out.push_back({app.pid, app.bundleID, app.isAppBundle});
    return out;
}

std::optional<ApplicationDetails> SimRunningApplications::lookup(pid_t pid) const {
    std::lock_guard lock(mutex_);
    for (const auto& app : apps_) {
        if (app.pid != pid) continue;
        ApplicationDetails details;
        details.bundleID = app.bundleID;
        if (!app.name.empty()) details.localizedName = app.name;
        details.icon = app.icon;
        details.activationPolicy = app.activationPolicy;
        return details;
    }
    return std::nullopt;
}

ObservationToken SimRunningApplications::observeLaunches(dispatch::QueuePtr queue,
                                                         Observer observer) {
    return observers_->add(observers_, Event::Launch, std::move(queue), std::move(observer));
}

ObservationToken SimRunningApplications::observeTerminations(dispatch::QueuePtr queue,
                                                             Observer observer) {
    return observers_->add(observers_, Event::Termination, std::move(queue), std::move(observer));
}

}  // namespace tobble::system::sim
