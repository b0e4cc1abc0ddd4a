// Writes the bundle's Turtle description from the port table: manifest.ttl and cartrivex.ttl into
// the folder given. Run at build time, so that the description and the plugin cannot disagree.
//
// Usage: write_turtle FOLDER BINARY

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "plugin/plugin_ports.hpp"

namespace {

const char* const kPrefixes =
    "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
    "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n";

// A number as Turtle reads it: a decimal with enough digits to name the double.
std::string number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", value);
    std::string result = text;
    if (result.find_first_of(".e") == std::string::npos) {
        result += ".0";
    }
    return result;
}

std::string quoted(const std::string& text) {
    std::string result = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            result += '\\';
        }
        result += c;
    }
    return result + "\"";
}

std::string channelName(int channelCount, int channel) {
    if (channelCount == 1) {
        return "";
    }
    return channel == 0 ? "left" : "right";
}

void audioPort(std::ostream& out, const char* direction, std::uint32_t index,
               const std::string& symbol, const std::string& name) {
    out << "\t\ta lv2:AudioPort, lv2:" << direction << " ;\n"
        << "\t\tlv2:index " << index << " ;\n"
        << "\t\tlv2:symbol " << quoted(symbol) << " ;\n"
        << "\t\tlv2:name " << quoted(name) << " ;\n";
}

void controlPort(std::ostream& out, std::uint32_t index, const plugin::ControlPort& port) {
    out << "\t\ta lv2:InputPort, lv2:ControlPort ;\n"
        << "\t\tlv2:index " << index << " ;\n"
        << "\t\tlv2:symbol " << quoted(port.symbol) << " ;\n"
        << "\t\tlv2:name " << quoted(port.name) << " ;\n"
        << "\t\trdfs:comment " << quoted(port.comment) << " ;\n"
        << "\t\tlv2:default " << number(port.defaultValue) << " ;\n"
        << "\t\tlv2:minimum " << number(port.minimum) << " ;\n"
        << "\t\tlv2:maximum " << number(port.maximum) << " ;\n";
    if (port.unit != nullptr) {
        out << "\t\tunits:unit units:" << port.unit << " ;\n";
    }
    if (!port.points.empty()) {
        out << "\t\tlv2:portProperty lv2:enumeration ;\n";
        for (std::size_t k = 0; k < port.points.size(); ++k) {
            out << (k == 0 ? "\t\tlv2:scalePoint " : " , ") << "[\n"
                << "\t\t\trdfs:label " << quoted(port.points[k].label) << " ;\n"
                << "\t\t\trdf:value " << number(port.points[k].value) << "\n\t\t]";
        }
        out << " ;\n";
    }
}

void describePlugin(std::ostream& out, const plugin::Variant& variant) {
    const int channels = variant.channelCount;
    out << "\n<" << variant.uri << ">\n"
        << "\ta lv2:Plugin, lv2:SimulatorPlugin ;\n"
        << "\tdoap:name " << quoted(variant.name) << " ;\n"
        << "\trdfs:comment "
        << quoted(
               "Plays the track through a phonograph pickup with a lateral tracking error: the "
               "signal is cut as a groove, read back along the time axis the error shifts, and "
               "played back.")
        << " ;\n"
        << "\tlv2:optionalFeature lv2:hardRTCapable ;\n"
        << "\tlv2:port [\n";
    bool first = true;
    const auto next = [&] {
        if (!first) {
            out << "\t] , [\n";
        }
        first = false;
    };
    for (int c = 0; c < channels; ++c) {
        next();
        const std::string side = channelName(channels, c);
        audioPort(out, "InputPort", plugin::audioInputPort(channels, c),
                  side.empty() ? "in" : "in_" + side.substr(0, 1),
                  side.empty() ? "In" : (c == 0 ? "Left in" : "Right in"));
    }
    for (int c = 0; c < channels; ++c) {
        next();
        const std::string side = channelName(channels, c);
        audioPort(out, "OutputPort", plugin::audioOutputPort(channels, c),
                  side.empty() ? "out" : "out_" + side.substr(0, 1),
                  side.empty() ? "Out" : (c == 0 ? "Left out" : "Right out"));
    }
    for (std::size_t row = 0; row < plugin::kControls.size(); ++row) {
        next();
        controlPort(out, plugin::controlPort(channels, row), plugin::kControls[row]);
    }
    next();
    out << "\t\ta lv2:OutputPort, lv2:ControlPort ;\n"
        << "\t\tlv2:index " << plugin::latencyPort(channels) << " ;\n"
        << "\t\tlv2:symbol \"latency\" ;\n"
        << "\t\tlv2:name \"Latency\" ;\n"
        << "\t\trdfs:comment \"The delay of the output, in frames: the same while the plugin "
           "lives.\" ;\n"
        << "\t\tlv2:designation lv2:latency ;\n"
        << "\t\tlv2:portProperty lv2:reportsLatency, lv2:integer ;\n"
        << "\t\tunits:unit units:frame ;\n"
        << "\t] .\n";
}

bool write(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    file.close();
    if (!file) {
        std::fprintf(stderr, "write_turtle: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: write_turtle FOLDER BINARY\n");
        return 2;
    }
    const std::string folder = argv[1];
    const std::string binary = argv[2];
    std::ostringstream manifest;
    manifest << kPrefixes;
    for (const plugin::Variant& variant : plugin::kVariants) {
        manifest << "\n<" << variant.uri << ">\n"
                 << "\ta lv2:Plugin ;\n"
                 << "\tlv2:binary <" << binary << "> ;\n"
                 << "\trdfs:seeAlso <cartrivex.ttl> .\n";
    }
    std::ostringstream description;
    description << kPrefixes << "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n";
    for (const plugin::Variant& variant : plugin::kVariants) {
        describePlugin(description, variant);
    }
    return write(folder + "/manifest.ttl", manifest.str()) &&
                   write(folder + "/cartrivex.ttl", description.str())
               ? 0
               : 1;
}
