#include "audio/audio_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "audio/header_length.hpp"
#include "wave/wave_writer.hpp"

namespace {

// The reason libsndfile gives, without the "Error : " and the trailing full stop it sometimes
// adds.
std::string sndfileReason(SNDFILE* file) {
    std::string reason = sf_strerror(file);
    const std::string prefix = "Error : ";
    if (reason.rfind(prefix, 0) == 0) {
        reason.erase(0, prefix.size());
    }
    while (!reason.empty() && (reason.back() == '.' || reason.back() == '\n')) {
        reason.pop_back();
    }
    return reason;
}

// The first `count` bytes waiting in the pipe `fd`, copied out without taking them from it (fewer
// when the stream is shorter, none when `fd` is not a pipe).
std::string peekPipe(int fd, std::size_t count) {
    int copy[2];
    if (::pipe2(copy, O_CLOEXEC) != 0) {
        return {};
    }
    std::string bytes;
    // A writer may put its first bytes in the pipe in pieces: wait a little for the rest.
    constexpr int kAttempts = 200;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const ssize_t copied = ::tee(fd, copy[1], count, 0);
        if (copied < 0 && errno == EINTR) {
            continue;
        }
        if (copied <= 0) {
            break;
        }
        bytes.resize(static_cast<std::size_t>(copied));
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(copy[0], bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        if (bytes.size() >= count) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(copy[0]);
    ::close(copy[1]);
    return bytes;
}

constexpr const char* kPipeAdvice = "pass the file itself, or pipe WAV (sox IN -t wav - | ...)";

// Seconds and frames, for the warnings about what a file lacks: "12.50 s (551250 frames)".
std::string lengthText(std::int64_t frames, int sampleRate) {
    char text[96];
    std::snprintf(text, sizeof text, "%.2f s (%lld frames)",
                  static_cast<double>(frames) / sampleRate, static_cast<long long>(frames));
    return text;
}

bool stopsAtDecodeErrors(int container) {
    return container == SF_FORMAT_FLAC || container == SF_FORMAT_OGG || container == SF_FORMAT_MPEG;
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
    return openDescriptor(fd, true, S_ISREG(status.st_mode), reason);
}

bool AudioReader::openStandardInput(std::string& reason) {
    struct stat status {};
    if (::fstat(STDIN_FILENO, &status) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (::isatty(STDIN_FILENO) == 1) {
        reason = "it is a terminal; pipe a recording into it, or name the file";
        return false;
    }
    if (S_ISREG(status.st_mode)) {
        return openDescriptor(STDIN_FILENO, false, true, reason);
    }
    if (S_ISFIFO(status.st_mode)) {
        // libsndfile fails on FLAC from a pipe, finds no audio in CAF, loses the last frames of
        // RF64, and reads past the end of a buffer of its own on MP3 (an ID3 tag or a frame's
        // sync bits first).
        const std::string magic = peekPipe(STDIN_FILENO, 4);
        const bool mpeg = magic.rfind("ID3", 0) == 0 ||
                          (magic.size() >= 2 && static_cast<unsigned char>(magic[0]) == 0xFF &&
                           (static_cast<unsigned char>(magic[1]) & 0xE0) == 0xE0);
        const char* format = magic == "fLaC"                      ? "a FLAC"
                             : magic == "caff"                    ? "a CAF"
                             : magic == "RF64" || magic == "BW64" ? "an RF64"
                             : mpeg                               ? "an MP3"
                                                                  : nullptr;
        if (format != nullptr) {
            reason = std::string("it holds ") + format +
                     " stream, which libsndfile cannot read reliably from a pipe: " + kPipeAdvice;
            return false;
        }
    }
    if (!openDescriptor(STDIN_FILENO, false, false, reason)) {
        reason += std::string("; ") + kPipeAdvice;
        return false;
    }
    return true;
}

bool AudioReader::openDescriptor(int fd, bool closeWithFile, bool regularFile,
                                 std::string& reason) {
    SF_INFO sfInfo{};
    file_ = sf_open_fd(fd, SFM_READ, &sfInfo, closeWithFile ? SF_TRUE : SF_FALSE);
    if (file_ == nullptr) {
        reason = sndfileReason(nullptr);  // libsndfile has closed the descriptor if it was to
        return false;
    }
    info_.format.container = sfInfo.format & SF_FORMAT_TYPEMASK;
    info_.format.encoding = sfInfo.format & SF_FORMAT_SUBMASK;
    info_.format.endian = sfInfo.format & SF_FORMAT_ENDMASK;
    info_.sampleRate = sfInfo.samplerate;
    info_.channelCount = sfInfo.channels;
    info_.frameCount = sfInfo.frames;
    // On a pipe the header's count is whatever the writer guessed, or a placeholder; an Ogg file
    // whose last page is missing has no count at all.
    info_.lengthKnown = regularFile && sfInfo.frames >= 0 && sfInfo.frames < SF_COUNT_MAX;
    regularFile_ = regularFile;
    // Where the first bytes could not be looked at (a socket, a device), the same refusals.
    if (!regularFile &&
        (info_.format.container == SF_FORMAT_CAF || info_.format.container == SF_FORMAT_RF64)) {
        reason = std::string("it holds ") +
                 (info_.format.container == SF_FORMAT_CAF ? "a CAF" : "an RF64") +
                 " stream, which libsndfile cannot read reliably from a pipe: " + kPipeAdvice;
        return false;
    }
    if (info_.lengthKnown) {
        if (info_.format.container == SF_FORMAT_FLAC) {
            promisedFrames_ = sfInfo.frames > 0 ? sfInfo.frames : -1;
        } else {
            const int bytesPerFrame = encodingBits(info_.format.encoding) / 8 * info_.channelCount;
            promisedFrames_ =
                promisedFrames(info_.format.container, bytesPerFrame,
                               [fd](std::uint64_t offset, unsigned char* data, std::size_t size) {
                                   std::size_t got = 0;
                                   while (got < size) {
                                       const ssize_t n = ::pread(fd, data + got, size - got,
                                                                 static_cast<off_t>(offset + got));
                                       if (n < 0 && errno == EINTR) {
                                           continue;
                                       }
                                       if (n <= 0) {
                                           break;
                                       }
                                       got += static_cast<std::size_t>(n);
                                   }
                                   return got;
                               });
        }
    }
    if (isFloatEncoding(info_.format.encoding)) {
        // Float samples come through as stored; no scaling, no clipping.
        sf_command(file_, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
        sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_FALSE);
    }
    return true;
}

std::int64_t AudioReader::read(double* samples, std::int64_t maxFrames, std::string& reason) {
    if (ended_) {
        return 0;
    }
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
        if (got >= 0 && framesRead_ + got > 0 && stopsAtDecodeErrors(info_.format.container)) {
            decodeError_ = sndfileReason(file_);
            ended_ = true;
            framesRead_ += got;
            return got;
        }
        reason = sndfileReason(file_);
        return -1;
    }
    framesRead_ += got;
    return got;
}

std::string AudioReader::endWarning(const std::string& name) const {
    const int rate = info_.sampleRate;
    if (promisedFrames_ > framesRead_) {
        const std::string promise = "its header promises " + lengthText(promisedFrames_, rate);
        const std::string missing = "; the missing " +
                                    lengthText(promisedFrames_ - framesRead_, rate) +
                                    " are not in the output";
        if (!decodeError_.empty()) {
            return name + " is cut short or damaged: " + promise + ", but only the first " +
                   lengthText(framesRead_, rate) + " could be decoded (" + decodeError_ + ")" +
                   missing;
        }
        return name + " is cut short: " + promise + ", but it holds only " +
               lengthText(framesRead_, rate) + missing;
    }
    if (!decodeError_.empty()) {
        return name + " is cut short or damaged: it could be decoded only to " +
               lengthText(framesRead_, rate) + " (" + decodeError_ +
               "); how much is missing is not known";
    }
    if (!info_.lengthKnown && info_.format.container == SF_FORMAT_OGG && regularFile_ &&
        info_.frameCount == SF_COUNT_MAX) {
        return name + " is cut short: its Ogg stream has no end; how much is missing is not known";
    }
    return "";
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
    // Float samples are written as given: no normalisation, no clipping.
    sf_command(file_, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_FALSE);
    channelCount_ = channelCount;
    const int bits = encodingBits(format.encoding);
    shift_ = bits > 0 && bits < 32 ? 32 - bits : 0;
    return true;
}

bool AudioWriter::openStream(int fd, const AudioFormat& format, int sampleRate, int channelCount,
                             std::string& reason) {
    if (format.container != SF_FORMAT_WAV && format.container != SF_FORMAT_WAVEX) {
        return open(fd, format, sampleRate, channelCount, reason);
    }
    const std::vector<unsigned char> header =
        waveStreamHeader(format.encoding, sampleRate, channelCount);
    if (header.empty()) {
        reason = "a WAV stream holds 16- or 24-bit or 32-bit float samples";
        return false;
    }
    streamFd_ = fd;
    channelCount_ = channelCount;
    bytesPerSample_ = encodingBits(format.encoding) / 8;
    return writeStream(header.data(), header.size(), reason);
}

bool AudioWriter::setQuality(double quality, std::string& reason) {
    if (file_ == nullptr ||
        sf_command(file_, SFC_SET_VBR_ENCODING_QUALITY, &quality, sizeof quality) != SF_TRUE) {
        reason = "the encoding's quality cannot be set";
        return false;
    }
    return true;
}

bool AudioWriter::writeStream(const void* data, std::size_t count, std::string& reason) {
    if (const int error = writeAll(streamFd_, data, count)) {
        reason = std::strerror(error);
        return false;
    }
    return true;
}

bool AudioWriter::writeIntegers(const std::int32_t* samples, std::int64_t frameCount,
                                std::string& reason) {
    const std::size_t count = static_cast<std::size_t>(frameCount * channelCount_);
    if (streamFd_ >= 0) {
        // Little-endian, the lowest bytes of each sample, as libsndfile writes a WAV file's.
        const auto width = static_cast<std::size_t>(bytesPerSample_);
        bytes_.resize(count * width);
        for (std::size_t k = 0; k < count; ++k) {
            const auto value = static_cast<std::uint32_t>(samples[k]);
            for (std::size_t b = 0; b < width; ++b) {
                bytes_[k * width + b] = static_cast<unsigned char>(value >> (8 * b));
            }
        }
        return writeStream(bytes_.data(), bytes_.size(), reason);
    }
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
    if (streamFd_ >= 0) {
        const std::size_t count = static_cast<std::size_t>(frameCount * channelCount_);
        bytes_.resize(count * sizeof(float));
        for (std::size_t k = 0; k < count; ++k) {
            std::uint32_t bits = 0;
            std::memcpy(&bits, &samples[k], sizeof bits);
            for (std::size_t b = 0; b < sizeof bits; ++b) {
                bytes_[k * sizeof bits + b] = static_cast<unsigned char>(bits >> (8 * b));
            }
        }
        return writeStream(bytes_.data(), bytes_.size(), reason);
    }
    if (sf_writef_float(file_, samples, frameCount) != frameCount) {
        reason = sndfileReason(file_);
        return false;
    }
    return true;
}

bool AudioWriter::close(std::string& reason) {
    if (streamFd_ >= 0) {
        streamFd_ = -1;  // a stream's sizes stay "unknown": there is nothing to complete
        return true;
    }
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

namespace {

// A file that takes whatever is written to it and keeps nothing, for trying whether libsndfile
// starts a file of a format.
struct DiscardedFile {
    sf_count_t position = 0;
    sf_count_t length = 0;
};

SF_VIRTUAL_IO discardingIo() {
    SF_VIRTUAL_IO io{};
    io.get_filelen = [](void* data) { return static_cast<DiscardedFile*>(data)->length; };
    io.seek = [](sf_count_t offset, int whence, void* data) {
        auto* file = static_cast<DiscardedFile*>(data);
        const sf_count_t base = whence == SEEK_CUR   ? file->position
                                : whence == SEEK_END ? file->length
                                                     : 0;
        file->position = std::max<sf_count_t>(0, base + offset);
        return file->position;
    };
    io.read = [](void*, sf_count_t, void*) { return sf_count_t{0}; };
    io.write = [](const void*, sf_count_t count, void* data) {
        auto* file = static_cast<DiscardedFile*>(data);
        file->position += count;
        file->length = std::max(file->length, file->position);
        return count;
    };
    io.tell = [](void* data) { return static_cast<DiscardedFile*>(data)->position; };
    return io;
}

}  // namespace

bool canWrite(const AudioFormat& format, int sampleRate, int channelCount, std::string* reason) {
    SF_INFO sfInfo{};
    sfInfo.format = format.sndfileFormat();
    sfInfo.samplerate = sampleRate;
    sfInfo.channels = channelCount;
    if (sf_format_check(&sfInfo) != SF_TRUE) {
        return false;
    }
    // The check passes formats whose encoder then refuses the rate (Opus, MP3): start one.
    DiscardedFile discarded;
    SF_VIRTUAL_IO io = discardingIo();
    SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &sfInfo, &discarded);
    if (file == nullptr) {
        if (reason != nullptr) {
            *reason = sf_strerror(nullptr);
        }
        return false;
    }
    sf_close(file);
    return true;
}

bool canEncodeAt(double quality, const AudioFormat& format, int sampleRate, int channelCount) {
    SF_INFO sfInfo{};
    sfInfo.format = format.sndfileFormat();
    sfInfo.samplerate = sampleRate;
    sfInfo.channels = channelCount;
    DiscardedFile discarded;
    SF_VIRTUAL_IO io = discardingIo();
    SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &sfInfo, &discarded);
    if (file == nullptr) {
        return false;
    }
    const bool taken =
        sf_command(file, SFC_SET_VBR_ENCODING_QUALITY, &quality, sizeof quality) == SF_TRUE;
    sf_close(file);
    return taken;
}

std::vector<unsigned char> waveStreamHeader(int encoding, int sampleRate, int channelCount) {
    const int bits = encodingBits(encoding);
    const bool isFloat = encoding == SF_FORMAT_FLOAT;
    if (encoding != SF_FORMAT_PCM_16 && encoding != SF_FORMAT_PCM_24 && !isFloat) {
        return {};
    }
    std::vector<unsigned char> header;
    const auto text = [&header](const char* four) { header.insert(header.end(), four, four + 4); };
    const auto number = [&header](std::uint32_t value, int bytes) {
        for (int b = 0; b < bytes; ++b) {
            header.push_back(static_cast<unsigned char>(value >> (8 * b)));
        }
    };
    constexpr std::uint32_t kUnknown = 0xFFFFFFFFu;
    const auto blockAlign = static_cast<std::uint32_t>(channelCount * bits / 8);
    text("RIFF");
    number(kUnknown, 4);
    text("WAVE");
    text("fmt ");
    number(16, 4);
    number(isFloat ? 3 : 1, 2);  // WAVE_FORMAT_IEEE_FLOAT or WAVE_FORMAT_PCM
    number(static_cast<std::uint32_t>(channelCount), 2);
    number(static_cast<std::uint32_t>(sampleRate), 4);
    number(static_cast<std::uint32_t>(sampleRate) * blockAlign, 4);
    number(blockAlign, 2);
    number(static_cast<std::uint32_t>(bits), 2);
    text("data");
    number(kUnknown, 4);
    return header;
}
