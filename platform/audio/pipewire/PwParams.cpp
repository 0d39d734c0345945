#include "platform/audio/pipewire/PwParams.h"

#include <spa/param/props.h>
#include <spa/param/route.h>
#include <spa/pod/builder.h>
#include <spa/pod/iter.h>
#include <spa/pod/parser.h>
#include <spa/utils/json.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tobble::audio::pipewire::detail {

namespace {

constexpr uint32_t kMaxChannels = 64;

void addVolumeObject(spa_pod_builder* b, const std::vector<float>& volumes,
                     std::optional<bool> mute) {
    spa_pod_frame f{};
    spa_pod_builder_push_object(b, &f, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    if (!volumes.empty()) {
        spa_pod_builder_prop(b, SPA_PROP_channelVolumes, 0);
        spa_pod_builder_array(b, sizeof(float), SPA_TYPE_Float,
                              static_cast<uint32_t>(volumes.size()), volumes.data());
    }
    if (mute) {
        spa_pod_builder_prop(b, SPA_PROP_mute, 0);
        spa_pod_builder_bool(b, *mute);
    }
    spa_pod_builder_pop(b, &f);
}

std::vector<uint8_t> finish(const uint8_t* buffer, const spa_pod_builder& b) {
    return std::vector<uint8_t>(buffer, buffer + b.state.offset);
}

}  // namespace

bool parseVolumeProps(const spa_pod* param, VolumeState& out) {
    if (!param || !spa_pod_is_object_type(param, SPA_TYPE_OBJECT_Props)) return false;
    const auto* obj = reinterpret_cast<const spa_pod_object*>(param);
    const spa_pod_prop* prop;
    SPA_POD_OBJECT_FOREACH(obj, prop) {
        if (prop->key == SPA_PROP_mute) {
            bool mute = false;
            if (spa_pod_get_bool(&prop->value, &mute) == 0) out.mute = mute;
        } else if (prop->key == SPA_PROP_channelVolumes) {
            float values[kMaxChannels];
            const uint32_t n =
                spa_pod_copy_array(&prop->value, SPA_TYPE_Float, values, kMaxChannels);
            out.channelVolumes.assign(values, values + n);
        }
    }
    return true;
}

bool parseRoute(const spa_pod* param, RouteInfo& out) {
    if (!param || !spa_pod_is_object_type(param, SPA_TYPE_OBJECT_ParamRoute)) return false;
    const spa_pod* props = nullptr;
    uint32_t direction = 0;
    if (spa_pod_parse_object(param, SPA_TYPE_OBJECT_ParamRoute, nullptr, SPA_PARAM_ROUTE_index,
                             SPA_POD_Int(&out.index), SPA_PARAM_ROUTE_direction,
                             SPA_POD_Id(&direction), SPA_PARAM_ROUTE_device,
                             SPA_POD_Int(&out.device), SPA_PARAM_ROUTE_props,
                             SPA_POD_OPT_Pod(&props)) < 0) {
        return false;
    }
    out.direction = direction;
    if (props) parseVolumeProps(props, out.volume);
    return true;
}

std::vector<uint8_t> buildVolumeProps(const std::vector<float>& channelVolumes,
                                      std::optional<bool> mute) {
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    addVolumeObject(&b, channelVolumes, mute);
    return finish(buffer, b);
}

std::vector<uint8_t> buildRouteVolume(int32_t index, int32_t device,
                                      const std::vector<float>& channelVolumes,
                                      std::optional<bool> mute) {
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    spa_pod_frame f{};
    spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_ParamRoute, SPA_PARAM_Route);
    spa_pod_builder_add(&b, SPA_PARAM_ROUTE_index, SPA_POD_Int(index), SPA_PARAM_ROUTE_device,
                        SPA_POD_Int(device), 0);
    spa_pod_builder_prop(&b, SPA_PARAM_ROUTE_props, 0);
    addVolumeObject(&b, channelVolumes, mute);
    // Saved, so that the session manager restores it like a change made in the desktop's mixer.
    spa_pod_builder_add(&b, SPA_PARAM_ROUTE_save, SPA_POD_Bool(true), 0);
    spa_pod_builder_pop(&b, &f);
    return finish(buffer, b);
}

std::optional<std::string> jsonName(const char* json) {
    if (!json) return std::nullopt;
    spa_json it[2];
    spa_json_init(&it[0], json, strlen(json));
    if (spa_json_enter_object(&it[0], &it[1]) <= 0) return std::nullopt;
    char key[64];
    char value[512];
    while (spa_json_get_string(&it[1], key, sizeof(key)) > 0) {
        if (strcmp(key, "name") == 0) {
            if (spa_json_get_string(&it[1], value, sizeof(value)) > 0) return std::string(value);
            return std::nullopt;
        }
        const char* skipped = nullptr;
        if (spa_json_next(&it[1], &skipped) <= 0) break;
    }
    return std::nullopt;
}

float linearToSlider(float linear) { return std::cbrt(std::max(linear, 0.0f)); }

float sliderToLinear(float slider) {
    const float s = std::clamp(slider, 0.0f, 1.0f);
    return s * s * s;
}

}  // namespace tobble::audio::pipewire::detail
