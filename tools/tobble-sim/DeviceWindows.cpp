#include "tools/tobble-sim/DeviceWindows.h"

#include <cmath>
#include <vector>

namespace tobble::simtool {

nlohmann::ordered_json deviceWindows(const audio::sim::SimAudioSystem& audio,
                                     const std::string& uid, uint32_t channels, double sampleRate,
                                     double end) {
    constexpr double kWindow = 0.010;
    const size_t windows = static_cast<size_t>(std::floor(end / kWindow + 1e-9));
    std::vector<double> sumSquares(windows, 0.0);
    std::vector<size_t> counts(windows, 0);
    double peak = 0;

    const auto cycles = audio.cycles(uid, 0, end);
    for (uint32_t ch = 0; ch < channels; ++ch) {
        const auto samples = audio.samples(uid, ch, 0, end);
        size_t offset = 0;
        for (const auto& cycle : cycles) {
            for (uint32_t i = 0; i < cycle.frames && offset + i < samples.size(); ++i) {
                const double t = cycle.time + static_cast<double>(i) / sampleRate;
                const auto w = static_cast<size_t>(t / kWindow);
                const double x = samples[offset + i];
                if (w < windows) {
                    sumSquares[w] += x * x;
                    counts[w] += 1;
                }
                peak = std::max(peak, std::abs(x));
            }
            offset += cycle.frames;
        }
    }
    nlohmann::ordered_json rms = nlohmann::ordered_json::array();
    for (size_t w = 0; w < windows; ++w) {
        const double value =
            counts[w] ? std::sqrt(sumSquares[w] / static_cast<double>(counts[w])) : 0.0;
        rms.push_back(std::round(value * 1e6) / 1e6);
    }
    return nlohmann::ordered_json{{"uid", uid}, {"windowMs", 10}, {"rms", rms}, {"peak", peak}};
}

}  // namespace tobble::simtool
