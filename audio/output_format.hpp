#pragma once

#include <optional>
#include <string>
#include <vector>

#include "audio/audio_file.hpp"

// The format of an audio output, chosen from its name, --type and --bits and the input, as every
// subcommand that writes audio chooses it.

// What the output's samples are.
enum class OutputKind {
    Sixteen,     // 16-bit integers, scaled by one gain for the whole output and dithered
    TwentyFour,  // 24-bit integers, the same
    Float,       // 32-bit float, unscaled
    Encoded,     // a lossy codec fed with floats, scaled by one gain so that nothing clips
};

// A format a user can name, by OUTPUT's extension or by --type.
struct NamedFormat {
    std::vector<std::string> names;  // the extensions and --type names, the first the usual one
    int container = 0;               // SF_FORMAT_WAV, ...
    int codec = 0;                   // the lossy codec (SF_FORMAT_VORBIS, ...), 0 for samples
    std::string title;               // "WAV", "Ogg Vorbis", ...
    std::string article;             // "a" or "an", as the title is spoken
    bool pipeable = false;           // can be written to a pipe
};

// Every format by name, in the order messages list them.
const std::vector<NamedFormat>& namedFormats();
// The format with that extension or --type name (any case), or nullptr.
const NamedFormat* formatNamed(const std::string& name);
// The --type names, for the option's check.
std::vector<std::string> typeNames();

// "a WAV file", "an Ogg Vorbis file", "an SD2 file": any container and encoding, with its article.
std::string fileDescription(const AudioFormat& format);

struct OutputRequest {
    std::string path;               // OUTPUT; "-" is standard output
    std::string type;               // --type, "" when not given
    std::string bits;               // --bits ("16", "24", "32f"), "" when not given
    std::optional<double> quality;  // --quality
};

struct OutputPlan {
    AudioFormat format;
    OutputKind kind = OutputKind::Sixteen;
    bool standardOutput = false;
};

// The output's format: --type, else OUTPUT's extension, else the input's container (WAV on
// standard output). The samples: --bits, else the input's own (a lossy input's as 24-bit), or the
// nearest narrower ones the container holds; a lossy format encodes the float output. False with
// a message that says what would work when the format cannot hold those samples at the input's
// rate and channel count, cannot go to a pipe, or the options do not fit it (a --quality that the
// encoder does not take among them).
bool planOutput(const OutputRequest& request, const AudioInfo& input, OutputPlan& plan,
                std::string& message);
