#include "tools/tobble-sim/ScenarioRunner.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>

#include "engine/TAKEngine.h"
#include "engine/core/Identity.h"
#include "engine/pipeline/TAKAggregateBuilder.h"
#include "engine/pipeline/Uuid.h"
#include "platform/log/Log.h"
#include "platform/sim/SimEnvironment.h"
#include "services/AudioClientViewModel.h"
#include "services/OutputPinStore.h"
#include "services/SavedVolumesAdapter.h"
#include "services/TobbleAudioService.h"
#include "services/VolumeStore.h"
#include "tools/tobble-sim/DeviceWindows.h"

namespace tobble::simtool {

using nlohmann::json;
using nlohmann::ordered_json;

namespace {

// Keeps every log line with its virtual time and echoes it as it comes.
class RunLog final : public log::Sink {
  public:
    explicit RunLog(std::function<void(const std::string&)> print) : print_(std::move(print)) {}

    void write(const log::Record& record) override {
        std::lock_guard lock(mutex_);
        ordered_json line;
        line["t"] = std::round(record.time * 1000.0) / 1000.0;
        line["level"] = std::string(log::levelName(record.level));
        line["category"] = std::string(record.category);
        line["message"] = std::string(record.message);
        lines_.push_back(std::move(line));
        if (print_) {
            char time[32];
            std::snprintf(time, sizeof time, "%.3f", record.time);
            print_(std::string(time) + " " + std::string(log::levelName(record.level)) + " " +
                   std::string(record.category) + " " + std::string(record.message));
        }
    }

    ordered_json lines() const {
        std::lock_guard lock(mutex_);
        ordered_json all = ordered_json::array();
        for (const auto& l : lines_) all.push_back(l);
        return all;
    }

  private:
    std::function<void(const std::string&)> print_;
    mutable std::mutex mutex_;
    std::vector<ordered_json> lines_;
};

system::DefaultsValue defaultsValue(const std::string& key, const json& value) {
    // The stores keep their documents as data: JSON given there is stored as its compact text,
    // a string as its bytes (which is how corrupt data gets in).
    if (key == "TobblePerAppVolumes" || key == "TobbleHiddenApps" || key == "TobbleAppOutputs") {
        const std::string text = value.is_string() ? value.get<std::string>() : value.dump();
        return system::DefaultsData(text.begin(), text.end());
    }
    if (value.is_boolean()) return value.get<bool>();
    if (value.is_number_integer()) return value.get<int64_t>();
    if (value.is_number()) return value.get<double>();
    if (value.is_string()) return value.get<std::string>();
    return value.dump();
}

ordered_json defaultsJson(const system::InMemoryUserDefaults& defaults) {
    ordered_json out = ordered_json::object();
    for (const auto& [key, value] : defaults.storedValues()) {
        std::visit(
            [&](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, system::DefaultsData>) {
                    out[key] = std::string(v.begin(), v.end());
                } else {
                    out[key] = v;
                }
            },
            value);
    }
    return out;
}

int32_t statusFrom(const json& status) {
    if (status.is_number_integer())
        return static_cast<int32_t>(static_cast<uint32_t>(status.get<int64_t>()));
    const std::string code = status.get<std::string>();
    return static_cast<int32_t>((static_cast<uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
                                (static_cast<uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
                                (static_cast<uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
                                static_cast<uint32_t>(static_cast<unsigned char>(code[3])));
}

const char* stateName(engine::TAKTapEntry::State state) {
    switch (state) {
        case engine::TAKTapEntry::State::active:
            return "active";
        case engine::TAKTapEntry::State::pending:
            return "pending";
        case engine::TAKTapEntry::State::rejected:
            return "rejected";
    }
    return "unknown";
}

// One run: the simulated desktop, the program's parts over it, and the event handlers.
class Run {
  public:
    Run(const Scenario& scenario, const RunOptions& options)
        : scenario_(scenario),
          env_(sim::SimEnvironmentOptions{sim::TimeMode::Virtual, scenario.ownPID, nullptr}),
          log_(std::make_shared<RunLog>(options.printLine)),
          simLog_(engine::logSubsystem(), "Scenario") {
        previousSink_ = log::setSink(log_);
        log::setTimeSource(
            [](const void* d) { return static_cast<const dispatch::VirtualDispatcher*>(d)->now(); },
            &env_.virtualTime());
    }

    ~Run() {
        viewModel_->stop();
        engine_->stop();
        log::setTimeSource(nullptr, nullptr);
        log::setSink(previousSink_);
    }

    ordered_json execute() {
        setUp();
        for (const auto& event : scenario_.events) {
            env_.dispatcher().mainQueue().asyncAfter(event.at - env_.virtualTime().now(),
                                                     [this, &event] { handle(event); });
        }
        const double end = scenario_.endTime();
        env_.virtualTime().runUntil(end);
        return report(end);
    }

  private:
    void setUp() {
        auto& audio = env_.audio();
        audio.setSampleHistorySeconds(scenario_.endTime() + 1.0);
        bool anyDefault = false;
        for (const auto& d : scenario_.devices) anyDefault = anyDefault || d.isDefault;
        for (size_t i = 0; i < scenario_.devices.size(); ++i) {
            addDevice(scenario_.devices[i],
                      scenario_.devices[i].isDefault || (!anyDefault && i == 0));
        }
        for (const auto& app : scenario_.apps) launch(app);
        for (const auto& p : scenario_.processes) spawn(p.pid, p.bundleID, p.responsiblePID);
        makeLeftoverAggregates();
        for (const auto& [key, value] : scenario_.defaults)
            env_.defaults().set(key, defaultsValue(key, value));

        volumeStore_ = std::make_unique<app::VolumeStore>(env_.defaults());
        savedVolumes_ = std::make_unique<app::SavedVolumesAdapter>(*volumeStore_);
        outputPins_ = std::make_unique<app::OutputPinStore>(env_.defaults());
        engine_ = engine::TAKEngine::make(
            env_.environment(),
            {&volumeState_, &rmsBuffer_, savedVolumes_.get(), outputPins_.get()});
        service_ = app::TobbleAudioService::make(env_.environment(), *engine_);
        viewModel_ = app::AudioClientViewModel::make(env_.environment(), *engine_, *service_,
                                                     *volumeStore_, outputPins_.get());
    }

    void addDevice(const DeviceSpec& d, bool makeDefault) {
        env_.audio().addDevice({.uid = d.uid,
                                .name = d.name,
                                .transportType = d.transport,
                                .channels = d.channels,
                                .sampleRate = d.sampleRate,
                                .bufferFrames = scenario_.bufferFrames,
                                .volume = d.volume,
                                .muted = d.muted,
                                .makeDefault = makeDefault});
        deviceUIDs_.push_back(d.uid);
        deviceSpecs_[d.uid] = d;
    }

    void launch(const AppSpec& app) {
        env_.apps().launch({.pid = app.pid,
                            .bundleID = app.bundleID,
                            .name = app.name,
                            .isAppBundle = app.appBundle,
                            .activationPolicy = app.policy});
    }

    void spawn(pid_t pid, const std::optional<std::string>& bundleID,
               std::optional<pid_t> responsible) {
        env_.audio().addProcess({pid, bundleID, audio::sim::Signal::silence()});
        if (responsible) env_.responsibility().set(pid, *responsible);
    }

    // Aggregates an earlier run left behind (ours, by UID prefix) and other programs' aggregates.
    void makeLeftoverAggregates() {
        const int total = scenario_.orphanAggregates + scenario_.foreignAggregates;
        if (total == 0 || deviceUIDs_.empty()) return;
        auto& audio = env_.audio();
        const auto holder =
            audio.addProcess({scenario_.ownPID, std::nullopt, audio::sim::Signal::silence()});
        auto description = audio::TapDescription::stereoMixdown({holder});
        description.uuid = engine::makeUUIDString();
        audio::AudioObjectID tap = 0;
        if (audio.createProcessTap(description, tap) != audio::kAudioHardwareNoError) return;
        for (int i = 0; i < total; ++i) {
            const std::string uid = i < scenario_.orphanAggregates
                                        ? engine::TAKAggregateBuilder::makeAggregateUID()
                                        : "com.example.other." + std::to_string(i);
            audio::AudioObjectID aggregate = 0;
            audio.createAggregateDevice(
                engine::TAKAggregateBuilder::description(uid, description.uuid, deviceUIDs_[0]),
                aggregate);
        }
    }

    void handle(const Event& e) {
        const json& a = e.args;
        auto& audio = env_.audio();
        auto pidArg = [&] { return static_cast<pid_t>(a["pid"].get<int64_t>()); };
        const std::string& n = e.name;
        if (n == "startEngine") {
            engine_->start();
        } else if (n == "stopEngine") {
            engine_->stop();
        } else if (n == "startViewModel") {
            viewModel_->start();
        } else if (n == "stopViewModel") {
            viewModel_->stop();
        } else if (n == "openPanel") {
            viewModel_->startRMSPolling();
        } else if (n == "closePanel") {
            viewModel_->stopRMSPolling();
        } else if (n == "play" || n == "silence" || n == "stop") {
            const auto objects = audio.processObjects(pidArg());
            if (objects.empty())
                simLog_.error(n + ": no process object for pid=" + std::to_string(pidArg()));
            for (auto object : objects) {
                if (n == "play") {
                    audio.setSignal(object, audio::sim::Signal::sine(
                                                a.value("frequency", 440.0),
                                                static_cast<float>(a.value("amplitude", 0.5))));
                    audio.startPlaying(object);
                } else if (n == "silence") {
                    audio.setSignal(object, audio::sim::Signal::silence());
                    audio.setRunning(object, true, true);
                } else {
                    audio.stopPlaying(object);
                }
            }
        } else if (n == "spawn") {
            std::optional<std::string> bundleID;
            if (a.contains("bundleID")) bundleID = a["bundleID"].get<std::string>();
            std::optional<pid_t> responsible;
            if (a.contains("responsiblePID"))
                responsible = static_cast<pid_t>(a["responsiblePID"].get<int64_t>());
            spawn(pidArg(), bundleID, responsible);
        } else if (n == "exit") {
            audio.exitProcess(pidArg());
            env_.apps().terminate(pidArg());
        } else if (n == "launchApp") {
            launch(parseApp(a, e.path, "scenario"));
        } else if (n == "quitApp") {
            env_.apps().terminate(pidArg());
        } else if (n == "setVolume" || n == "toggleMute" || n == "setAppOutput") {
            const std::string bundleID = a["bundleID"].get<std::string>();
            const app::AudioClientViewModel::AppClient* row = nullptr;
            for (const auto& client : viewModel_->clients()) {
                if (client.bundleID == bundleID) row = &client;
            }
            if (!row) {
                simLog_.error(n + ": no row for bundleID=" + bundleID);
            } else if (n == "setVolume") {
                viewModel_->sendVolumeChange(row->id, row->slot, row->generation,
                                             a["volume"].get<float>());
            } else if (n == "setAppOutput") {
                const std::string uid = a["uid"].get<std::string>();
                if (!viewModel_->setOutput(row->id, uid))
                    simLog_.error("setAppOutput: refused for bundleID=" + bundleID + " uid=" + uid);
            } else {
                viewModel_->toggleMute(row->id);
            }
        } else if (n == "setDefaultOutput") {
            audio.setDefaultOutput(a["uid"].get<std::string>());
        } else if (n == "addDevice") {
            const auto d = parseDevice(a, e.path, "scenario");
            addDevice(d, d.isDefault);
        } else if (n == "removeDevice") {
            audio.removeDevice(a["uid"].get<std::string>());
        } else if (n == "setSystemVolume") {
            service_->setSystemVolume(a["volume"].get<float>());
        } else if (n == "setSystemMute") {
            service_->setSystemMute(a["muted"].get<bool>());
        } else if (n == "fail") {
            std::string call = a["call"].get<std::string>();
            if (call == "AudioDeviceCreateIOProcID") call = "AudioDeviceCreateIOProcIDWithBlock";
            audio.failNext(*audio::sim::simCallFromName(call), statusFrom(a["status"]),
                           static_cast<int>(a.value("count", int64_t{1})));
        } else if (n == "killAggregates") {
            for (const auto& aggregate : audio.aggregates()) {
                if (aggregate.alive) audio.killAggregate(aggregate.id);
            }
        } else if (n == "stall" || n == "unstall") {
            for (const auto& pipeline : engine_->pipelines()) {
                if (pipeline.pid == pidArg())
                    audio.setCallbacksStalled(pipeline.aggregate.aggregateID, n == "stall");
            }
        } else if (n == "snapshot") {
            ordered_json snap;
            snap["label"] = a.value("label", "");
            snap["t"] = env_.virtualTime().now();
            snap["rows"] = rows();
            snap["catalogGeneration"] = engine_->catalogGeneration();
            snap["entries"] = entries();
            snapshots_.push_back(std::move(snap));
        }
    }

    ordered_json rows() const {
        ordered_json out = ordered_json::array();
        for (const auto& c : viewModel_->clients()) {
            out.push_back(ordered_json{{"id", c.id},
                                       {"pid", c.pid},
                                       {"bundleID", c.bundleID},
                                       {"name", c.name},
                                       {"slot", c.slot},
                                       {"generation", c.generation},
                                       {"volume", c.volume},
                                       {"isMuted", c.isMuted},
                                       {"output", c.output},
                                       {"rmsLevel", c.rmsLevel}});
        }
        return out;
    }

    ordered_json entries() const {
        ordered_json out = ordered_json::array();
        if (auto catalog = engine_->catalog()) {
            for (const auto& e : catalog->allEntries()) {
                ordered_json entry{{"pid", e.pid}};
                entry["bundleID"] = e.bundleID ? json(*e.bundleID) : json(nullptr);
                entry["slot"] = e.slot;
                entry["generation"] = e.generation;
                entry["state"] = stateName(e.state);
                out.push_back(std::move(entry));
            }
        }
        return out;
    }

    ordered_json report(double end) {
        ordered_json r;
        r["end"] = end;
        r["log"] = log_->lines();
        r["snapshots"] = snapshots_;
        r["rows"] = rows();
        ordered_json devices = ordered_json::array();
        for (const auto& uid : deviceUIDs_) {
            const auto& spec = deviceSpecs_.at(uid);
            devices.push_back(
                deviceWindows(env_.audio(), uid, spec.channels, spec.sampleRate, end));
        }
        r["devices"] = devices;
        size_t aliveAggregates = 0;
        for (const auto& aggregate : env_.audio().aggregates())
            aliveAggregates += aggregate.alive ? 1 : 0;
        r["live"] = ordered_json{{"taps", env_.audio().taps().size()},
                                 {"aggregates", aliveAggregates},
                                 {"ioProcsRunning", env_.audio().runningIOProcCount()}};
        r["defaults"] = defaultsJson(env_.defaults());
        return r;
    }

    const Scenario& scenario_;
    sim::SimEnvironment env_;
    std::shared_ptr<RunLog> log_;
    std::shared_ptr<log::Sink> previousSink_;
    log::Logger simLog_;
    engine::TAKVolumeState volumeState_;
    engine::TAKRMSBuffer rmsBuffer_;
    std::unique_ptr<app::VolumeStore> volumeStore_;
    std::unique_ptr<app::SavedVolumesAdapter> savedVolumes_;
    std::unique_ptr<app::OutputPinStore> outputPins_;
    std::shared_ptr<engine::TAKEngine> engine_;
    std::shared_ptr<app::TobbleAudioService> service_;
    std::shared_ptr<app::AudioClientViewModel> viewModel_;
    std::vector<std::string> deviceUIDs_;
    std::map<std::string, DeviceSpec> deviceSpecs_;
    ordered_json snapshots_ = ordered_json::array();
};

}  // namespace

ordered_json runScenario(const Scenario& scenario, const RunOptions& options) {
    Run run(scenario, options);
    return run.execute();
}

}  // namespace tobble::simtool
