#include "cli/audio_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The reason libsndfile gives, without the trailing full stop it sometimes adds.
std::string sndfileReason(SNDFILE* file) {
    std::string reason = sf_strerror(file);
    while (!reason.empty() && (reason.back() == '.' || reason.back() == '\n')) {
        reason.pop_back();
    }
    return reason;
}

constexpr double kSixteenBitFullScale = 32768.0;
// A left-justified 32-bit integer sample in 16-bit units: exact, as 2^16 is a power of two.
constexpr double kIntegerToSixteenBit = 1.0 / 65536.0;

}  // namespace

std::string containerName(int container) {
    switch (container) {
        case SF_FORMAT_WAV:
            return "WAV";
        case SF_FORMAT_WAVEX:
            return "WAV";
        case SF_FORMAT_RF64:
            return "RF64";
        case SF_FORMAT_W64:
            return "W64";
        case SF_FORMAT_AIFF:
            return "AIFF";
        case SF_FORMAT_FLAC:
            return "FLAC";
        case SF_FORMAT_CAF:
            return "CAF";
        case SF_FORMAT_AU:
            return "AU";
        case SF_FORMAT_OGG:
            return "OGG";
        case SF_FORMAT_MPEG:
            return "MPEG";
        default:
            break;
    }
    SF_FORMAT_INFO formatInfo{};
    formatInfo.format = container;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &formatInfo, sizeof formatInfo) == 0 &&
        formatInfo.extension != nullptr) {
        std::string name = formatInfo.extension;
        for (char& c : name) {
            c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        }
        return name;
    }
    return "unknown";
}

int encodingBits(int encoding) {
    switch (encoding) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
            return 8;
        case SF_FORMAT_PCM_16:
            return 16;
        case SF_FORMAT_PCM_24:
            return 24;
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT:
            return 32;
        case SF_FORMAT_DOUBLE:
            return 64;
        default:
            return 0;
    }
}

bool isFloatEncoding(int encoding) {
    switch (encoding) {
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_DOUBLE:
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

std::string encodingName(int encoding) {
    switch (encoding) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_PCM_16:
        case SF_FORMAT_PCM_24:
        case SF_FORMAT_PCM_32:
            return "integer";
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_DOUBLE:
            return "float";
        default:
            break;
    }
    SF_FORMAT_INFO formatInfo{};
    formatInfo.format = encoding;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &formatInfo, sizeof formatInfo) == 0 &&
        formatInfo.name != nullptr) {
        return formatInfo.name;
    }
    return "unknown";
}

AudioReader::~AudioReader() {
    if (file_ != nullptr) {
        sf_close(file_);
    }
}

bool AudioReader::open(const std::string& path, std::string& reason) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        ::close(fd);
        reason = std::strerror(EISDIR);
        return false;
    }
    SF_INFO sfInfo{};
    file_ = sf_open_fd(fd, SFM_READ, &sfInfo, SF_TRUE);
    if (file_ == nullptr) {
        reason = sndfileReason(nullptr);
        return false;
    }
    info_.format.container = sfInfo.format & SF_FORMAT_TYPEMASK;
    info_.format.encoding = sfInfo.format & SF_FORMAT_SUBMASK;
    info_.format.endian = sfInfo.format & SF_FORMAT_ENDMASK;
    info_.sampleRate = sfInfo.samplerate;
    info_.channelCount = sfInfo.channels;
    info_.frameCount = sfInfo.frames;
    if (isFloatEncoding(info_.format.encoding)) {
        // Float samples come through as stored; no scaling, no clipping.
        sf_command(file_, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
        sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_FALSE);
    }
    return true;
}

std::int64_t AudioReader::read(double* samples, std::int64_t maxFrames, std::string& reason) {
    const int channels = info_.channelCount;
    sf_count_t got = 0;
    if (isFloatEncoding(info_.format.encoding)) {
        got = sf_readf_double(file_, samples, maxFrames);
        for (sf_count_t k = 0; k < got * channels; ++k) {
            samples[k] *= kSixteenBitFullScale;
        }
    } else {
        // Integers come left-justified in 32 bits, which makes every width exact in 16-bit units.
        integers_.resize(static_cast<std::size_t>(maxFrames * channels));
        got = sf_readf_int(file_, integers_.data(), maxFrames);
        for (sf_count_t k = 0; k < got * channels; ++k) {
            samples[k] =
                static_cast<double>(integers_[static_cast<std::size_t>(k)]) * kIntegerToSixteenBit;
        }
    }
    if (got < 0 || (got < maxFrames && sf_error(file_) != SF_ERR_NO_ERROR)) {
        reason = sndfileReason(file_);
        return -1;
    }
    return got;
}

AudioWriter::~AudioWriter() {
    if (file_ != nullptr) {
        sf_close(file_);
    }
}

bool AudioWriter::open(int fd, const AudioFormat& format, int sampleRate, int channelCount,
                       std::string& reason) {
    SF_INFO sfInfo{};
    sfInfo.format = format.sndfileFormat();
    sfInfo.samplerate = sampleRate;
    sfInfo.channels = channelCount;
    file_ = sf_open_fd(fd, SFM_WRITE, &sfInfo, SF_FALSE);
    if (file_ == nullptr) {
        reason = sndfileReason(nullptr);
        return false;
    }
    // Float samples are written as given: no normalisation, no clipping, no peak chunk to scan.
    sf_command(file_, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_FALSE);
    channelCount_ = channelCount;
    const int bits = encodingBits(format.encoding);
    shift_ = bits > 0 && bits < 32 ? 32 - bits : 0;
    return true;
}

bool AudioWriter::writeIntegers(const std::int32_t* samples, std::int64_t frameCount,
                                std::string& reason) {
    const std::size_t count = static_cast<std::size_t>(frameCount * channelCount_);
    integers_.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        // Shifted as unsigned: a negative sample's bits move the same way without overflow.
        integers_[k] = static_cast<int>(static_cast<std::uint32_t>(samples[k]) << shift_);
    }
    if (sf_writef_int(file_, integers_.data(), frameCount) != frameCount) {
        reason = sndfileReason(file_);
        return false;
    }
    return true;
}

bool AudioWriter::writeFloats(const float* samples, std::int64_t frameCount, std::string& reason) {
    if (sf_writef_float(file_, samples, frameCount) != frameCount) {
        reason = sndfileReason(file_);
        return false;
    }
    return true;
}

bool AudioWriter::close(std::string& reason) {
    SNDFILE* file = file_;
    file_ = nullptr;
    sf_write_sync(file);
    const int error = sf_error(file);
    if (error != SF_ERR_NO_ERROR) {
        reason = sndfileReason(file);
        sf_close(file);
        return false;
    }
    if (sf_close(file) != 0) {
        reason = "the file could not be completed";
        return false;
    }
    return true;
}

bool canWrite(const AudioFormat& format, int sampleRate, int channelCount) {
    SF_INFO sfInfo{};
    sfInfo.format = format.sndfileFormat();
    sfInfo.samplerate = sampleRate;
    sfInfo.channels = channelCount;
    return sf_format_check(&sfInfo) == SF_TRUE;
}
