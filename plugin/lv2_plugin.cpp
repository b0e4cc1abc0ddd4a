// The LV2 entry points: a thin layer over StudioChain. The host finds the ports and their ranges
// in the bundle's Turtle, written from plugin/plugin_ports.hpp.

#include <lv2/core/lv2.h>

#include <array>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "dsp/coefficient_set.hpp"
#include "plugin/plugin_ports.hpp"
#include "plugin/studio_chain.hpp"

namespace {

constexpr double kLowestRate = 32000.0;
constexpr double kHighestRate = 192000.0;

struct Instance {
    int channelCount = 2;
    CoefficientSet coefficients;
    std::unique_ptr<StudioChain> chain;
    std::array<const float*, 2> inputs{};
    std::array<float*, 2> outputs{};
    std::array<const float*, plugin::kControls.size()> controls{};
    float* latency = nullptr;
};

// The coefficient files in the bundle, or else where the programs install them: the bundle is
// <prefix>/lib/lv2/cartrivex.lv2, the files <prefix>/share/cartrivex.
bool loadCoefficients(const char* bundlePath, CoefficientSet& coefficients, std::string& message) {
    std::string bundle = bundlePath != nullptr ? bundlePath : "";
    while (bundle.size() > 1 && bundle.back() == '/') {
        bundle.pop_back();
    }
    return loadCoefficientSetFrom({bundle, bundle + "/../../../share/cartrivex"}, coefficients,
                                  message);
}

template <int Channels>
LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char* bundlePath,
                       const LV2_Feature* const*) {
    if (!(rate >= kLowestRate && rate <= kHighestRate) || rate != static_cast<int>(rate)) {
        std::fprintf(stderr,
                     "cartrivex: a sample rate of %g Hz cannot be played; rates from 32000 "
                     "to 192000 Hz can\n",
                     rate);
        return nullptr;
    }
    try {
        auto instance = std::make_unique<Instance>();
        instance->channelCount = Channels;
        std::string message;
        if (!loadCoefficients(bundlePath, instance->coefficients, message)) {
            std::fprintf(stderr, "cartrivex: %s\n", message.c_str());
            return nullptr;
        }
        instance->chain =
            std::make_unique<StudioChain>(static_cast<int>(rate), Channels, instance->coefficients);
        return instance.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

template <int Channels>
void connectPort(LV2_Handle handle, uint32_t port, void* data) {
    Instance& instance = *static_cast<Instance*>(handle);
    for (int c = 0; c < Channels; ++c) {
        if (port == plugin::audioInputPort(Channels, c)) {
            instance.inputs[static_cast<std::size_t>(c)] = static_cast<const float*>(data);
        } else if (port == plugin::audioOutputPort(Channels, c)) {
            instance.outputs[static_cast<std::size_t>(c)] = static_cast<float*>(data);
        }
    }
    for (std::size_t row = 0; row < plugin::kControls.size(); ++row) {
        if (port == plugin::controlPort(Channels, row)) {
            instance.controls[row] = static_cast<const float*>(data);
        }
    }
    if (port == plugin::latencyPort(Channels)) {
        instance.latency = static_cast<float*>(data);
    }
}

void activate(LV2_Handle handle) {
    static_cast<Instance*>(handle)->chain->activate();
}

void run(LV2_Handle handle, uint32_t frameCount) {
    Instance& instance = *static_cast<Instance*>(handle);
    if (instance.latency != nullptr) {
        *instance.latency = static_cast<float>(instance.chain->latency());
    }
    for (int c = 0; c < instance.channelCount; ++c) {
        if (instance.inputs[static_cast<std::size_t>(c)] == nullptr ||
            instance.outputs[static_cast<std::size_t>(c)] == nullptr) {
            return;
        }
    }
    instance.chain->run(instance.inputs.data(), instance.outputs.data(), frameCount,
                        instance.controls.data());
}

void deactivate(LV2_Handle) {}

void cleanup(LV2_Handle handle) {
    delete static_cast<Instance*>(handle);
}

const void* extensionData(const char*) {
    return nullptr;
}

const std::array<LV2_Descriptor, 2> kDescriptors = {{
    {plugin::kVariants[0].uri, instantiate<2>, connectPort<2>, activate, run, deactivate, cleanup,
     extensionData},
    {plugin::kVariants[1].uri, instantiate<1>, connectPort<1>, activate, run, deactivate, cleanup,
     extensionData},
}};

static_assert(plugin::kVariants[0].channelCount == 2 && plugin::kVariants[1].channelCount == 1);

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < kDescriptors.size() ? &kDescriptors[index] : nullptr;
}
