#pragma once

// A small LV2 host on liblilv for the plugin's tests: it loads one bundle, makes an instance of a
// plugin in it, connects every port by its symbol and runs blocks of any size, as a DAW would.

#include <lilv/lilv.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class Lv2Host {
  public:
    // Loads the bundle at `bundleFolder` (a path) and finds the plugin `uri` in it.
    Lv2Host(const std::string& bundleFolder, const std::string& uri) : world_(lilv_world_new()) {
        std::string folder = bundleFolder;
        if (folder.empty() || folder.back() != '/') {
            folder += '/';
        }
        LilvNode* bundle = lilv_new_file_uri(world_, nullptr, folder.c_str());
        lilv_world_load_bundle(world_, bundle);
        lilv_node_free(bundle);
        LilvNode* pluginUri = lilv_new_uri(world_, uri.c_str());
        plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), pluginUri);
        lilv_node_free(pluginUri);
    }
    Lv2Host(const Lv2Host&) = delete;
    Lv2Host& operator=(const Lv2Host&) = delete;
    ~Lv2Host() {
        close();
        lilv_world_free(world_);
    }

    const LilvPlugin* plugin() const { return plugin_; }
    LilvInstance* instance() const { return instance_; }
    LilvWorld* world() const { return world_; }

    // Makes an instance at `sampleRate` for blocks of up to `maxBlock` frames, every control at
    // its default; false where the plugin refuses.
    bool open(double sampleRate, std::uint32_t maxBlock) {
        close();
        if (plugin_ == nullptr) {
            return false;
        }
        instance_ = lilv_plugin_instantiate(plugin_, sampleRate, nullptr);
        if (instance_ == nullptr) {
            return false;
        }
        const std::uint32_t ports = lilv_plugin_get_num_ports(plugin_);
        controls_.assign(ports, 0.0f);
        std::vector<float> minimum(ports);
        std::vector<float> maximum(ports);
        std::vector<float> defaults(ports);
        lilv_plugin_get_port_ranges_float(plugin_, minimum.data(), maximum.data(), defaults.data());
        LilvNode* audio = lilv_new_uri(world_, LILV_URI_AUDIO_PORT);
        LilvNode* input = lilv_new_uri(world_, LILV_URI_INPUT_PORT);
        audioIn_.clear();
        audioOut_.clear();
        for (std::uint32_t index = 0; index < ports; ++index) {
            const LilvPort* port = lilv_plugin_get_port_by_index(plugin_, index);
            const std::string symbol = lilv_node_as_string(lilv_port_get_symbol(plugin_, port));
            symbols_[symbol] = index;
            if (lilv_port_is_a(plugin_, port, audio)) {
                auto& list = lilv_port_is_a(plugin_, port, input) ? audioIn_ : audioOut_;
                list.emplace_back(maxBlock, 0.0f);
                lilv_instance_connect_port(instance_, index, list.back().data());
            } else {
                controls_[index] = defaults[index];
                lilv_instance_connect_port(instance_, index, &controls_[index]);
            }
        }
        lilv_node_free(audio);
        lilv_node_free(input);
        maxBlock_ = maxBlock;
        lilv_instance_activate(instance_);
        return true;
    }

    void close() {
        if (instance_ != nullptr) {
            lilv_instance_deactivate(instance_);
            lilv_instance_free(instance_);
            instance_ = nullptr;
        }
    }

    // The value of the control port `symbol`: set it, or read what the plugin wrote.
    float& control(const std::string& symbol) { return controls_.at(symbols_.at(symbol)); }
    bool hasPort(const std::string& symbol) const { return symbols_.count(symbol) > 0; }
    int channels() const { return static_cast<int>(audioIn_.size()); }

    // Runs `frames` frames (at most the block size) from `input`, interleaved, into `output`.
    void run(const float* input, float* output, std::uint32_t frames) {
        const int c = channels();
        for (std::uint32_t k = 0; k < frames; ++k) {
            for (int ch = 0; ch < c; ++ch) {
                audioIn_[static_cast<std::size_t>(ch)][k] = input[k * c + ch];
            }
        }
        lilv_instance_run(instance_, frames);
        for (std::uint32_t k = 0; k < frames; ++k) {
            for (int ch = 0; ch < c; ++ch) {
                output[k * c + ch] = audioOut_[static_cast<std::size_t>(ch)][k];
            }
        }
    }

    // Plays a whole interleaved signal in blocks of `block` frames (the last may be shorter)
    // into `output`, of the same size, taking no memory itself.
    void play(const std::vector<float>& input, std::uint32_t block, std::vector<float>& output) {
        const auto frames = static_cast<std::int64_t>(input.size()) / channels();
        for (std::int64_t at = 0; at < frames; at += block) {
            const auto count =
                static_cast<std::uint32_t>(std::min<std::int64_t>(block, frames - at));
            run(input.data() + at * channels(), output.data() + at * channels(), count);
        }
    }
    std::vector<float> play(const std::vector<float>& input, std::uint32_t block) {
        std::vector<float> output(input.size());
        play(input, block, output);
        return output;
    }

    std::uint32_t maxBlock() const { return maxBlock_; }

  private:
    LilvWorld* world_;
    const LilvPlugin* plugin_ = nullptr;
    LilvInstance* instance_ = nullptr;
    std::vector<float> controls_;
    std::map<std::string, std::uint32_t> symbols_;
    std::vector<std::vector<float>> audioIn_;
    std::vector<std::vector<float>> audioOut_;
    std::uint32_t maxBlock_ = 0;
};
