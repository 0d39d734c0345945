#include "tools/tobble-sim/Scenario.h"

#include <algorithm>
#include <map>
#include <set>

#include "platform/audio/AudioTypes.h"
#include "platform/audio/sim/SimAudioSystem.h"

namespace tobble::simtool {

using nlohmann::json;

namespace {

enum class Kind { Number, Integer, String, Bool, Object, Any };

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::Number:
            return "a number";
        case Kind::Integer:
            return "an integer";
        case Kind::String:
            return "a string";
        case Kind::Bool:
            return "true or false";
        case Kind::Object:
            return "an object";
        case Kind::Any:
            return "a value";
    }
    return "a value";
}

bool hasKind(const json& value, Kind kind) {
    switch (kind) {
        case Kind::Number:
            return value.is_number();
        case Kind::Integer:
            return value.is_number_integer();
        case Kind::String:
            return value.is_string();
        case Kind::Bool:
            return value.is_boolean();
        case Kind::Object:
            return value.is_object();
        case Kind::Any:
            return true;
    }
    return false;
}

// Reads fields of one JSON object, reporting every problem with file and path.
class Reader {
  public:
    Reader(const json& object, std::string path, const std::string& file)
        : object_(object), path_(std::move(path)), file_(file) {
        if (!object_.is_object()) fail(path_, "must be an object");
    }

    [[noreturn]] void fail(const std::string& path, const std::string& what) const {
        throw ScenarioError(file_ + ": " + path + ": " + what);
    }

    const json* get(const std::string& key, Kind kind, bool required) const {
        const auto it = object_.find(key);
        if (it == object_.end()) {
            if (required) fail(path_, "missing field \"" + key + "\"");
            return nullptr;
        }
        if (!hasKind(*it, kind)) fail(path_ + "." + key, std::string("must be ") + kindName(kind));
        return &*it;
    }

    double number(const std::string& key, std::optional<double> fallback = std::nullopt) const {
        const json* v = get(key, Kind::Number, !fallback);
        return v ? v->get<double>() : *fallback;
    }
    int64_t integer(const std::string& key, std::optional<int64_t> fallback = std::nullopt) const {
        const json* v = get(key, Kind::Integer, !fallback);
        // Read as signed, 2^64 - 1 would pass as -1.
        if (v && v->is_number_unsigned() && v->get<uint64_t>() > INT64_MAX) {
            fail(path_ + "." + key, "is out of range");
        }
        return v ? v->get<int64_t>() : *fallback;
    }
    std::string string(const std::string& key,
                       std::optional<std::string> fallback = std::nullopt) const {
        const json* v = get(key, Kind::String, !fallback);
        return v ? v->get<std::string>() : *fallback;
    }
    std::optional<std::string> optionalString(const std::string& key) const {
        const json* v = get(key, Kind::String, false);
        return v ? std::optional<std::string>(v->get<std::string>()) : std::nullopt;
    }
    bool boolean(const std::string& key, bool fallback) const {
        const json* v = get(key, Kind::Bool, false);
        return v ? v->get<bool>() : fallback;
    }
    pid_t pid(const std::string& key) const {
        const int64_t value = integer(key);
        if (value < -1 || value > 4194304) fail(path_ + "." + key, "is not a valid pid");
        return static_cast<pid_t>(value);
    }
    const std::string& path() const { return path_; }

  private:
    const json& object_;
    std::string path_;
    const std::string& file_;
};

struct FieldRule {
    const char* name;
    Kind kind;
    bool required;
};

// What each event takes. Fields not listed are rejected, so a typo does not pass silently.
const std::map<std::string, std::vector<FieldRule>>& eventSchemas() {
    static const std::map<std::string, std::vector<FieldRule>> schemas = {
        {"startEngine", {}},
        {"stopEngine", {}},
        {"startViewModel", {}},
        {"stopViewModel", {}},
        {"openPanel", {}},
        {"closePanel", {}},
        {"play",
         {{"pid", Kind::Integer, true},
          {"frequency", Kind::Number, false},
          {"amplitude", Kind::Number, false}}},
        {"silence", {{"pid", Kind::Integer, true}}},
        {"stop", {{"pid", Kind::Integer, true}}},
        {"spawn",
         {{"pid", Kind::Integer, true},
          {"bundleID", Kind::String, false},
          {"responsiblePID", Kind::Integer, false}}},
        {"exit", {{"pid", Kind::Integer, true}}},
        {"launchApp",
         {{"pid", Kind::Integer, true},
          {"bundleID", Kind::String, false},
          {"name", Kind::String, false},
          {"appBundle", Kind::Bool, false},
          {"policy", Kind::String, false}}},
        {"quitApp", {{"pid", Kind::Integer, true}}},
        {"setVolume", {{"bundleID", Kind::String, true}, {"volume", Kind::Number, true}}},
        {"toggleMute", {{"bundleID", Kind::String, true}}},
        {"setAppOutput", {{"bundleID", Kind::String, true}, {"uid", Kind::String, true}}},
        {"setDefaultOutput", {{"uid", Kind::String, true}}},
        {"addDevice",
         {{"uid", Kind::String, true},
          {"name", Kind::String, false},
          {"transport", Kind::String, false},
          {"channels", Kind::Integer, false},
          {"sampleRate", Kind::Number, false},
          {"default", Kind::Bool, false},
          {"volume", Kind::Number, false},
          {"muted", Kind::Bool, false}}},
        {"removeDevice", {{"uid", Kind::String, true}}},
        {"setSystemVolume", {{"volume", Kind::Number, true}}},
        {"setSystemMute", {{"muted", Kind::Bool, true}}},
        {"fail",
         {{"call", Kind::String, true},
          {"status", Kind::Any, true},
          {"count", Kind::Integer, false}}},
        {"killAggregates", {}},
        {"stall", {{"pid", Kind::Integer, true}}},
        {"unstall", {{"pid", Kind::Integer, true}}},
        {"snapshot", {{"label", Kind::String, false}}},
    };
    return schemas;
}

void checkStatus(const Reader& reader, const json& status) {
    if (status.is_number_integer()) {
        const auto v = status.get<int64_t>();
        if (v < INT32_MIN || v > UINT32_MAX)
            reader.fail(reader.path() + ".status", "does not fit in 32 bits");
        return;
    }
    if (status.is_string() && status.get<std::string>().size() == 4) return;
    reader.fail(reader.path() + ".status",
                "must be an integer or a four-character code such as \"nope\"");
}

}  // namespace

uint32_t transportFromName(const std::string& name) {
    static const std::map<std::string, uint32_t> transports = {
        {"builtin", audio::kAudioDeviceTransportTypeBuiltIn},
        {"usb", audio::kAudioDeviceTransportTypeUSB},
        {"bluetooth", audio::kAudioDeviceTransportTypeBluetooth},
        {"bluetoothle", audio::kAudioDeviceTransportTypeBluetoothLE},
        {"hdmi", audio::kAudioDeviceTransportTypeHDMI},
        {"displayport", audio::kAudioDeviceTransportTypeDisplayPort},
        {"virtual", audio::kAudioDeviceTransportTypeVirtual},
        {"aggregate", audio::kAudioDeviceTransportTypeAggregate},
    };
    const auto it = transports.find(name);
    return it == transports.end() ? 0 : it->second;
}

DeviceSpec parseDevice(const json& object, const std::string& path, const std::string& fileName) {
    const Reader r(object, path, fileName);
    DeviceSpec d;
    d.uid = r.string("uid");
    d.name = r.string("name", d.uid);
    const std::string transport = r.string("transport", "builtin");
    d.transport = transportFromName(transport);
    if (d.transport == 0) r.fail(path + ".transport", "unknown transport \"" + transport + "\"");
    const int64_t channels = r.integer("channels", 2);
    if (channels < 0 || channels > 64) r.fail(path + ".channels", "must be between 0 and 64");
    d.channels = static_cast<uint32_t>(channels);
    d.sampleRate = r.number("sampleRate", 48000.0);
    if (!(d.sampleRate >= 8000.0 && d.sampleRate <= 384000.0))
        r.fail(path + ".sampleRate", "must be 8000 to 384000");
    d.isDefault = r.boolean("default", false);
    d.volume = static_cast<float>(r.number("volume", 1.0));
    if (!(d.volume >= 0.0f && d.volume <= 1.0f))
        r.fail(path + ".volume", "must be between 0 and 1");
    d.muted = r.boolean("muted", false);
    return d;
}

AppSpec parseApp(const json& object, const std::string& path, const std::string& fileName) {
    const Reader r(object, path, fileName);
    AppSpec a;
    a.pid = r.pid("pid");
    a.bundleID = r.optionalString("bundleID");
    a.name = r.string("name", a.bundleID.value_or("pid " + std::to_string(a.pid)));
    a.appBundle = r.boolean("appBundle", true);
    const std::string policy = r.string("policy", "regular");
    if (policy == "regular") {
        a.policy = system::ActivationPolicy::Regular;
    } else if (policy == "accessory") {
        a.policy = system::ActivationPolicy::Accessory;
    } else if (policy == "prohibited") {
        a.policy = system::ActivationPolicy::Prohibited;
    } else {
        r.fail(path + ".policy", "must be \"regular\", \"accessory\" or \"prohibited\"");
    }
    return a;
}

double Scenario::endTime() const {
    if (end) return *end;
    double last = 0;
    for (const auto& e : events) last = std::max(last, e.at);
    return last + 1.0;
}

Scenario parseScenario(const std::string& text, const std::string& fileName) {
    if (text.size() > kMaxScenarioBytes) {
        throw ScenarioError(fileName + ": $: larger than " + std::to_string(kMaxScenarioBytes) +
                            " bytes");
    }
    json root;
    try {
        // Deeper documents are refused while parsing: later walks over them recurse.
        root = json::parse(text, [&](int depth, json::parse_event_t, json&) {
            if (depth > kMaxNestingDepth) {
                throw ScenarioError(fileName + ": $: nested deeper than " +
                                    std::to_string(kMaxNestingDepth) + " levels");
            }
            return true;
        });
    } catch (const json::parse_error& error) {
        throw ScenarioError(fileName + ": $: not valid JSON (" + error.what() + ")");
    }
    const Reader top(root, "$", fileName);
    static const std::set<std::string> knownKeys = {
        "bufferFrames",      "ownPID",   "devices", "apps",  "processes", "orphanAggregates",
        "foreignAggregates", "defaults", "end",     "events"};
    for (const auto& [key, value] : root.items()) {
        if (!knownKeys.count(key)) top.fail("$." + key, "unknown key");
    }

    Scenario s;
    const int64_t frames = top.integer("bufferFrames", 512);
    if (frames < 16 || frames > 8192) top.fail("$.bufferFrames", "must be between 16 and 8192");
    s.bufferFrames = static_cast<uint32_t>(frames);
    s.ownPID = root.contains("ownPID") ? top.pid("ownPID") : 100;
    s.orphanAggregates =
        static_cast<int>(std::clamp<int64_t>(top.integer("orphanAggregates", 0), 0, 64));
    s.foreignAggregates =
        static_cast<int>(std::clamp<int64_t>(top.integer("foreignAggregates", 0), 0, 64));
    if (root.contains("end")) {
        s.end = top.number("end");
        if (!(*s.end >= 0 && *s.end <= kMaxRunSeconds))
            top.fail("$.end", "must be between 0 and 86400 seconds");
    }

    auto arrayAt = [&](const char* key) -> const json* {
        const auto it = root.find(key);
        if (it == root.end()) return nullptr;
        if (!it->is_array()) top.fail(std::string("$.") + key, "must be a list");
        return &*it;
    };
    if (const json* devices = arrayAt("devices")) {
        for (size_t i = 0; i < devices->size(); ++i) {
            s.devices.push_back(
                parseDevice((*devices)[i], "$.devices[" + std::to_string(i) + "]", fileName));
        }
    } else {
        s.devices.push_back(DeviceSpec{"builtin", "Built-in Speakers",
                                       audio::kAudioDeviceTransportTypeBuiltIn, 2, 48000.0, true,
                                       1.0f, false});
    }
    if (const json* apps = arrayAt("apps")) {
        for (size_t i = 0; i < apps->size(); ++i) {
            s.apps.push_back(parseApp((*apps)[i], "$.apps[" + std::to_string(i) + "]", fileName));
        }
    }
    if (const json* processes = arrayAt("processes")) {
        for (size_t i = 0; i < processes->size(); ++i) {
            const Reader r((*processes)[i], "$.processes[" + std::to_string(i) + "]", fileName);
            ProcessSpec p;
            p.pid = r.pid("pid");
            p.bundleID = r.optionalString("bundleID");
            if ((*processes)[i].contains("responsiblePID"))
                p.responsiblePID = r.pid("responsiblePID");
            s.processes.push_back(p);
        }
    }
    if (root.contains("defaults")) {
        const auto& defaults = root["defaults"];
        if (!defaults.is_object()) top.fail("$.defaults", "must be an object");
        for (const auto& [key, value] : defaults.items()) {
            if (value.is_null()) top.fail("$.defaults." + key, "must not be null");
            s.defaults.emplace_back(key, value);
        }
    }

    const json* events = arrayAt("events");
    if (!events) top.fail("$", "missing field \"events\"");
    std::vector<DeviceSpec> addedDevices;
    for (size_t i = 0; i < events->size(); ++i) {
        const std::string path = "$.events[" + std::to_string(i) + "]";
        const json& object = (*events)[i];
        const Reader r(object, path, fileName);
        Event e;
        e.at = r.number("at");
        if (!(e.at >= 0 && e.at <= kMaxRunSeconds))
            r.fail(path + ".at", "must be between 0 and 86400 seconds");
        e.name = r.string("do");
        const auto schema = eventSchemas().find(e.name);
        if (schema == eventSchemas().end())
            r.fail(path + ".do", "unknown event \"" + e.name + "\"");
        for (const auto& [key, value] : object.items()) {
            if (key == "at" || key == "do") continue;
            const bool known = std::any_of(schema->second.begin(), schema->second.end(),
                                           [&](const FieldRule& rule) { return key == rule.name; });
            if (!known) r.fail(path + "." + key, "unknown field for \"" + e.name + "\"");
        }
        for (const auto& rule : schema->second) r.get(rule.name, rule.kind, rule.required);
        if (e.name == "fail") {
            checkStatus(r, object["status"]);
            if (!audio::sim::simCallFromName(object["call"].get<std::string>()) &&
                object["call"].get<std::string>() != "AudioDeviceCreateIOProcID") {
                r.fail(path + ".call",
                       "unknown audio call \"" + object["call"].get<std::string>() + "\"");
            }
        }
        if (e.name == "launchApp") parseApp(object, path, fileName);
        if (object.contains("pid")) r.pid("pid");
        if (object.contains("responsiblePID")) r.pid("responsiblePID");
        if (e.name == "addDevice") addedDevices.push_back(parseDevice(object, path, fileName));
        e.args = object;
        e.path = path;
        s.events.push_back(std::move(e));
    }
    std::stable_sort(s.events.begin(), s.events.end(),
                     [](const Event& a, const Event& b) { return a.at < b.at; });

    // Every device keeps what it played for the whole run, for the report.
    double sampleBytes = 0;
    for (const auto* list : {&s.devices, &addedDevices}) {
        for (const auto& d : *list) {
            sampleBytes += (s.endTime() + 1.0) * d.sampleRate * d.channels * sizeof(float);
        }
    }
    if (sampleBytes > static_cast<double>(kMaxSampleBytes)) {
        top.fail(s.end ? "$.end" : "$.events",
                 "the run needs " + std::to_string(static_cast<uint64_t>(sampleBytes / (1 << 20))) +
                     " MiB of sample memory, more than " + std::to_string(kMaxSampleBytes >> 20) +
                     " MiB");
    }
    return s;
}

}  // namespace tobble::simtool
