#include "audio/output_format.hpp"

#include <cctype>
#include <cstdio>

namespace {

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// "a", "a or b", "a, b or c".
std::string orList(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t k = 0; k < items.size(); ++k) {
        if (k > 0) {
            text += k + 1 == items.size() ? " or " : ", ";
        }
        text += items[k];
    }
    return text;
}

// The extension of the last part of `path`, without its dot; "" when there is none.
std::string extensionOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return "";
    }
    return name.substr(dot + 1);
}

bool isLossyCodec(int encoding) {
    switch (encoding) {
        case SF_FORMAT_VORBIS:
        case SF_FORMAT_OPUS:
        case SF_FORMAT_MPEG_LAYER_I:
        case SF_FORMAT_MPEG_LAYER_II:
        case SF_FORMAT_MPEG_LAYER_III:
            return true;
        default:
            return false;
    }
}

int encodingOf(OutputKind kind) {
    switch (kind) {
        case OutputKind::Sixteen:
            return SF_FORMAT_PCM_16;
        case OutputKind::TwentyFour:
            return SF_FORMAT_PCM_24;
        case OutputKind::Float:
            return SF_FORMAT_FLOAT;
        case OutputKind::Encoded:
            break;
    }
    return 0;
}

std::string kindText(OutputKind kind) {
    switch (kind) {
        case OutputKind::Sixteen:
            return "16-bit";
        case OutputKind::TwentyFour:
            return "24-bit";
        case OutputKind::Float:
            return "32-bit float";
        case OutputKind::Encoded:
            break;
    }
    return "encoded";
}

// A quality as given: "0", "0.5".
std::string qualityText(double quality) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", quality);
    return text;
}

std::string bitsText(OutputKind kind) {
    switch (kind) {
        case OutputKind::Sixteen:
            return "16";
        case OutputKind::TwentyFour:
            return "24";
        default:
            return "32f";
    }
}

OutputKind kindOfBits(const std::string& bits) {
    if (bits == "24") {
        return OutputKind::TwentyFour;
    }
    if (bits == "32f") {
        return OutputKind::Float;
    }
    return OutputKind::Sixteen;
}

constexpr OutputKind kSampleKinds[] = {OutputKind::Sixteen, OutputKind::TwentyFour,
                                       OutputKind::Float};

// The samples an input is written as by default, before the container has its say: its own where
// they are 16-bit, 24-bit or float; wider integers and doubles as float; a lossy input, which has
// no bit depth, as 24-bit; narrower and companded samples as 16-bit.
OutputKind preferredKind(int inputEncoding) {
    switch (inputEncoding) {
        case SF_FORMAT_PCM_24:
            return OutputKind::TwentyFour;
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_DOUBLE:
            return OutputKind::Float;
        default:
            return isLossyCodec(inputEncoding) ? OutputKind::TwentyFour : OutputKind::Sixteen;
    }
}

AudioFormat formatOf(const NamedFormat& named, OutputKind kind) {
    AudioFormat format;
    format.container = named.container;
    format.encoding = named.codec != 0 ? named.codec : encodingOf(kind);
    return format;
}

// The reason libsndfile gives for refusing a format, without its "Error : " and full stop.
std::string plainReason(std::string reason) {
    const std::string prefix = "Error : ";
    if (reason.rfind(prefix, 0) == 0) {
        reason.erase(0, prefix.size());
    }
    while (!reason.empty() && (reason.back() == '.' || reason.back() == '\n')) {
        reason.pop_back();
    }
    return reason;
}

// The formats by name that can hold `kind` (a lossy format: its own encoding) at the input's rate
// and channel count; `lossy` picks the lossy ones or the others.
std::vector<std::string> formatsHolding(OutputKind kind, bool lossy, const AudioInfo& input,
                                        bool pipe, const NamedFormat* except) {
    std::vector<std::string> names;
    for (const NamedFormat& named : namedFormats()) {
        if (&named == except || (named.codec != 0) != lossy || (pipe && !named.pipeable)) {
            continue;
        }
        if (canWrite(formatOf(named, kind), input.sampleRate, input.channelCount)) {
            names.push_back(named.names.front());
        }
    }
    return names;
}

// Every format by name that can hold this input in some way.
std::vector<std::string> formatsForInput(const AudioInfo& input, bool pipe,
                                         const NamedFormat* except) {
    std::vector<std::string> names =
        formatsHolding(OutputKind::Sixteen, false, input, pipe, except);
    const std::vector<std::string> lossy =
        formatsHolding(OutputKind::Encoded, true, input, pipe, except);
    names.insert(names.end(), lossy.begin(), lossy.end());
    return names;
}

// What to do instead: "write .wav, .flac or .au" for a file, "give --type wav or au" for a pipe.
std::string instead(std::vector<std::string> names, bool pipe) {
    if (pipe) {
        return "give --type " + orList(names);
    }
    for (std::string& name : names) {
        name.insert(0, ".");
    }
    return "write " + orList(names);
}

// The named format OUTPUT asks for: --type, the extension, or on a pipe WAV; nullptr for the
// input's own container.
bool requestedFormat(const OutputRequest& request, const NamedFormat*& named,
                     std::string& message) {
    named = nullptr;
    if (!request.type.empty()) {
        named = formatNamed(request.type);
        if (named == nullptr) {
            message = "--type " + request.type + ": not a format this program writes";
            return false;
        }
        return true;
    }
    if (request.path == "-") {
        named = formatNamed("wav");
        return true;
    }
    named = formatNamed(extensionOf(request.path));
    return true;
}

}  // namespace

const std::vector<NamedFormat>& namedFormats() {
    static const std::vector<NamedFormat> formats = {
        {{"wav"}, SF_FORMAT_WAV, 0, "WAV", "a", true},
        {{"w64"}, SF_FORMAT_W64, 0, "W64", "a", false},
        {{"rf64"}, SF_FORMAT_RF64, 0, "RF64", "an", false},
        {{"aiff", "aif"}, SF_FORMAT_AIFF, 0, "AIFF", "an", false},
        {{"flac"}, SF_FORMAT_FLAC, 0, "FLAC", "a", false},
        {{"caf"}, SF_FORMAT_CAF, 0, "CAF", "a", false},
        {{"au", "snd"}, SF_FORMAT_AU, 0, "AU", "an", true},
        {{"ogg", "oga", "vorbis"}, SF_FORMAT_OGG, SF_FORMAT_VORBIS, "Ogg Vorbis", "an", true},
        {{"opus"}, SF_FORMAT_OGG, SF_FORMAT_OPUS, "Opus", "an", true},
        {{"mp3"}, SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III, "MP3", "an", true},
    };
    return formats;
}

const NamedFormat* formatNamed(const std::string& name) {
    const std::string lower = lowerCase(name);
    for (const NamedFormat& named : namedFormats()) {
        for (const std::string& candidate : named.names) {
            if (candidate == lower) {
                return &named;
            }
        }
    }
    return nullptr;
}

std::vector<std::string> typeNames() {
    std::vector<std::string> names;
    for (const NamedFormat& named : namedFormats()) {
        names.insert(names.end(), named.names.begin(), named.names.end());
    }
    return names;
}

std::string fileDescription(const AudioFormat& format) {
    const int container = format.container == SF_FORMAT_WAVEX ? SF_FORMAT_WAV : format.container;
    if (container == SF_FORMAT_MPEG && format.encoding != SF_FORMAT_MPEG_LAYER_III) {
        return "an MPEG file";
    }
    for (const NamedFormat& named : namedFormats()) {
        if (named.container == container &&
            (container != SF_FORMAT_OGG || named.codec == format.encoding)) {
            return named.article + " " + named.title + " file";
        }
    }
    if (container == SF_FORMAT_OGG) {
        return "an Ogg file";
    }
    // Other containers go by their letters: "an SD2 file", "a VOC file".
    const std::string name = containerName(format.container);
    const bool vowelSound =
        !name.empty() && std::string("AEFHILMNORSX").find(name[0]) != std::string::npos;
    return std::string(vowelSound ? "an " : "a ") + name + " file";
}

namespace {

// The named format an output is written in, and how messages speak of it.
struct Target {
    NamedFormat own;  // the input's container, where OUTPUT names none
    const NamedFormat* named = nullptr;
    const NamedFormat* except = nullptr;  // left out of the formats a message offers instead
    std::string description;              // "a WAV file"

    Target() = default;
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;
};

// --type, OUTPUT's extension, WAV on a pipe, or else the input's own container; a lossy one
// keeps its codec.
bool chooseTarget(const OutputRequest& request, const AudioInfo& input, Target& target,
                  std::string& message) {
    if (!requestedFormat(request, target.named, message)) {
        return false;
    }
    if (target.named == nullptr) {
        target.own.container = input.format.container;
        if (isLossyCodec(input.format.encoding)) {
            target.own.codec = input.format.container == SF_FORMAT_MPEG ? SF_FORMAT_MPEG_LAYER_III
                                                                        : input.format.encoding;
        }
        target.named = &target.own;
        for (const NamedFormat& candidate : namedFormats()) {
            if (candidate.container == target.own.container &&
                candidate.codec == target.own.codec) {
                target.named = &candidate;
            }
        }
    }
    target.except = target.named == &target.own ? nullptr : target.named;
    target.description = fileDescription(formatOf(*target.named, OutputKind::Sixteen));
    if (request.path == "-" && !target.named->pipeable) {
        message = target.description +
                  " cannot be written to a pipe, as its header is completed at the end: " +
                  instead(formatsForInput(input, true, nullptr), true) + ", or name an OUTPUT file";
        return false;
    }
    return true;
}

// Encoded for a lossy format, which takes neither --bits nor, elsewhere, --quality; else --bits
// or the input's own samples.
bool chooseKind(const OutputRequest& request, const AudioInfo& input, const Target& target,
                OutputKind& kind, std::string& message) {
    const bool pipe = request.path == "-";
    if (target.named->codec != 0) {
        kind = OutputKind::Encoded;
        if (!request.bits.empty()) {
            const OutputKind asked = kindOfBits(request.bits);
            message = target.description + " holds compressed audio, not " + kindText(asked) +
                      " samples: leave out --bits to encode the float output, or " +
                      instead(formatsHolding(asked, false, input, pipe, nullptr), pipe) + " for " +
                      kindText(asked) + " samples";
            return false;
        }
        return true;
    }
    if (request.quality) {
        message = "--quality sets the encoding of an Ogg Vorbis, Opus or MP3 output; " +
                  target.description + " holds samples as they are";
        return false;
    }
    kind = request.bits.empty() ? preferredKind(input.format.encoding) : kindOfBits(request.bits);
    return true;
}

// Whether `format` with `kind`'s samples (a lossy format: its own codec) can be written.
bool holds(AudioFormat format, const NamedFormat& named, OutputKind kind, const AudioInfo& input) {
    format.encoding = named.codec != 0 ? named.codec : encodingOf(kind);
    return canWrite(format, input.sampleRate, input.channelCount);
}

// A lossy format must take the input's rate and channels, and the encoder the --quality.
bool checkEncoding(const OutputRequest& request, const AudioInfo& input, const Target& target,
                   const OutputPlan& plan, std::string& message) {
    const bool pipe = request.path == "-";
    std::string reason;
    if (!canWrite(plan.format, input.sampleRate, input.channelCount, &reason)) {
        const std::string why =
            reason.empty()
                ? "this libsndfile cannot write " + target.named->title + " files"
                : target.description + " cannot hold " + std::to_string(input.sampleRate) +
                      " Hz audio (" + plainReason(reason) + ")";
        message = why + ": " + instead(formatsForInput(input, pipe, target.except), pipe);
        return false;
    }
    if (request.quality &&
        !canEncodeAt(*request.quality, plan.format, input.sampleRate, input.channelCount)) {
        message = "--quality " + qualityText(*request.quality) + ": libsndfile's " +
                  target.named->title + " encoder does not take it; give another from 0 to 1";
        return false;
    }
    return true;
}

// Without --bits, the nearest narrower samples the container holds; then the samples must fit.
bool fitSamples(const OutputRequest& request, const AudioInfo& input, const Target& target,
                OutputPlan& plan, std::string& message) {
    const bool pipe = request.path == "-";
    if (request.bits.empty()) {
        while (!holds(plan.format, *target.named, plan.kind, input) &&
               plan.kind != OutputKind::Sixteen) {
            plan.kind =
                plan.kind == OutputKind::Float ? OutputKind::TwentyFour : OutputKind::Sixteen;
        }
        plan.format.encoding = encodingOf(plan.kind);
    }
    if (holds(plan.format, *target.named, plan.kind, input)) {
        return true;
    }
    std::vector<std::string> choices;
    for (const OutputKind kind : kSampleKinds) {
        if (holds(plan.format, *target.named, kind, input)) {
            choices.push_back(bitsText(kind));
        }
    }
    message = target.description + " cannot hold " + kindText(plan.kind) + " samples";
    if (!choices.empty()) {
        message += ": choose --bits " + orList(choices) + ", or ";
    } else {
        message += std::string(" of ") +
                   (input.channelCount == 1 ? "one channel" : "two channels") + " at " +
                   std::to_string(input.sampleRate) + " Hz: ";
    }
    message += instead(formatsHolding(plan.kind, false, input, pipe, target.except), pipe);
    return false;
}

}  // namespace

bool planOutput(const OutputRequest& request, const AudioInfo& input, OutputPlan& plan,
                std::string& message) {
    plan = OutputPlan{};
    plan.standardOutput = request.path == "-";
    Target target;
    if (!chooseTarget(request, input, target, message) ||
        !chooseKind(request, input, target, plan.kind, message)) {
        return false;
    }
    plan.format = formatOf(*target.named, plan.kind);
    if (plan.format.container == SF_FORMAT_WAV && input.format.container == SF_FORMAT_WAVEX) {
        plan.format.container = SF_FORMAT_WAVEX;
    }
    if (plan.format.container == input.format.container) {
        plan.format.endian = input.format.endian;
    }
    return plan.kind == OutputKind::Encoded ? checkEncoding(request, input, target, plan, message)
                                            : fitSamples(request, input, target, plan, message);
}
