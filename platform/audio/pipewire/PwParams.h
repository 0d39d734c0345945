#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct spa_pod;

// Reading and writing the few SPA parameter objects and metadata values the backend uses.
namespace tobble::audio::pipewire::detail {

struct VolumeState {
    std::vector<float> channelVolumes;  // linear, as the node applies them
    std::optional<bool> mute;
};

// Parses a Props object (a node's, or the props inside a Route); false when it is not one.
bool parseVolumeProps(const spa_pod* param, VolumeState& out);

// A Route param: its index, profile device and volume props.
struct RouteInfo {
    int32_t index = -1;
    int32_t device = -1;
    uint32_t direction = 0;
    VolumeState volume;
};
bool parseRoute(const spa_pod* param, RouteInfo& out);

// Serialized SPA objects, ready for pw_node_set_param / pw_device_set_param.
std::vector<uint8_t> buildVolumeProps(const std::vector<float>& channelVolumes,
                                      std::optional<bool> mute);
std::vector<uint8_t> buildRouteVolume(int32_t index, int32_t device,
                                      const std::vector<float>& channelVolumes,
                                      std::optional<bool> mute);

// "{ \"name\": \"spk1\" }" → "spk1", as the default metadata stores node names.
std::optional<std::string> jsonName(const char* json);

// The desktop mixers' slider scale: what users see is the cube root of the linear gain.
float linearToSlider(float linear);
float sliderToLinear(float slider);

}  // namespace tobble::audio::pipewire::detail
