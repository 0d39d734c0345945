#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/Queue.h"
#include "platform/system/UserDefaults.h"

namespace tobble::app {

// Remembers each application's last volume and mute state by bundle identifier, so that an
// application gets its old level back the next time it plays. Every call reads or rewrites the
// one document in the defaults domain; only changes not yet written are kept in memory.
//
// Rewriting the document costs time in proportion to the number of applications ever seen, so
// a store given a writer queue does it there: save() records the change and returns, the queue
// writes every change recorded meanwhile in one go, and loadAll() already sees the change.
// Without a queue (tests, the scenario runner) save() writes at once.
//
// Safe from any thread. Every store in the process takes one lock around each read and each
// read-modify-write, so a save and the engine's load on its queue never interleave, and two
// saves never lose one another's entry.
class VolumeStore {
  public:
    struct SavedState {
        float volume = 1.0f;  // 0...2, as the user set it
        bool isMuted = false;

        bool operator==(const SavedState&) const = default;
    };
    using SavedStates = std::map<std::string, SavedState, std::less<>>;

    explicit VolumeStore(system::UserDefaults& defaults, dispatch::QueuePtr writer = nullptr);
    // Writes what is still pending.
    ~VolumeStore();
    VolumeStore(const VolumeStore&) = delete;
    VolumeStore& operator=(const VolumeStore&) = delete;

    // Every saved state. Never fails: an entry that cannot be read is logged and left out; an
    // unknown schema version or an unreadable document is logged and reads as empty, and the
    // next save first keeps it aside under "TobblePerAppVolumesBackup" (or Backup2, ...).
    SavedStates loadAll() const;

    // The engine's key for an application that has no identity of its own.
    static constexpr std::string_view kProcessKeyPrefix = "pid:";
    // Whether `bundleID` names an application (and so may be saved and restored).
    static bool isIdentity(std::string_view bundleID);

    // Records one application's state, replacing both fields of any earlier entry; a volume
    // beyond 0...volumeLimit() is saved at the nearer end. An empty bundle identifier, or a
    // process key ("pid:NNN") standing in for a missing one, changes nothing. False (logged)
    // when the state cannot be written, for instance a volume that is not a number.
    bool save(std::string_view bundleID, float volume, bool isMuted);

    // Returns once every change saved before the call is in the defaults domain.
    void flush();

    // Writes the whole dictionary. False (logged) when it cannot be encoded, for instance a
    // volume that is not a number; the stored document then stays as it was.
    bool persist(const SavedStates& states);

    // The gain given to an application that has no saved state: "TobbleDefaultVolume", 1.0 when
    // absent or not a number, kept within 0...1. Whatever shows the default volume shows this.
    static double defaultVolume(const system::UserDefaults& defaults);
    double defaultVolume() const { return defaultVolume(defaults_); }
    void setDefaultVolume(double volume);

    // Volume above 100 % ("allowVolumeBoost", off when absent or not a boolean).
    bool volumeBoostAllowed() const;
    // Turning it off rewrites no saved volume: one saved above 1.0 applies as 1.0 meanwhile
    // and as saved once it is on again.
    void setVolumeBoostAllowed(bool allowed);
    // The loudest volume an application may be given now: 1.0, or 2.0 while boost is allowed.
    float volumeLimit() const;
    // A saved volume as it applies now, within 0...volumeLimit() (NaN as 1.0).
    float applicable(float saved) const;

  private:
    struct Pending;

    // The stored states, through the cache. `unusable`: the stored document is there but cannot
    // be read as a whole (unknown version, not a document of ours), so a write must first keep
    // it aside.
    const SavedStates& readLocked(bool* unusable) const;
    // Writes the stored states with `changes` applied; every change must be encodable.
    bool applyLocked(const SavedStates& changes);
    // Writes the cached states.
    void writeLocked(bool keepAside);
    void writePending();

    system::UserDefaults& defaults_;
    dispatch::QueuePtr writer_;
    // The document as last read or written, under the document lock.
    mutable struct {
        system::DefaultsData bytes;
        std::optional<SavedStates> states;
    } cache_;
    std::unique_ptr<Pending> pending_;
};

}  // namespace tobble::app
