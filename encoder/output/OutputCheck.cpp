#include "encoder/output/OutputCheck.h"

#include "oscore/Fd.h"
#include "oscore/FileInfo.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace tovilo {

namespace {

// A bigger index than this is not something ffmpeg writes for a portable player's file.
constexpr std::uint64_t kMaxIndexSize = 256u << 20;

class File
{
public:
    explicit File(const std::string& path) : m_owned(openFile(path.c_str(), O_RDONLY | O_NOFOLLOW))
    {
        m_fd = m_owned.get();
        m_error = m_fd < 0 ? errno : 0;
        measure();
    }
    explicit File(int fd) : m_fd(fd) { measure(); }

    int error() const { return m_error; }
    std::uint64_t size() const { return m_size; }

    // Reads exactly n bytes at offset; false at the end of the file or on an error.
    bool read(std::uint64_t offset, void* data, size_t n)
    {
        if (offset > m_size || n > m_size - offset)
            return false;
        // Frame-by-frame walks read a few bytes at a time: serve them from a window.
        if (n <= kWindow &&
            (offset < m_windowStart || offset + n > m_windowStart + m_window.size())) {
            m_window.resize(static_cast<size_t>(std::min<std::uint64_t>(kWindow, m_size - offset)));
            if (!readFully(offset, m_window.data(), m_window.size())) {
                m_window.clear();
                return false;
            }
            m_windowStart = offset;
        }
        if (n <= kWindow) {
            std::memcpy(data, m_window.data() + (offset - m_windowStart), n);
            return true;
        }
        return readFully(offset, data, n);
    }

private:
    static constexpr size_t kWindow = 64 * 1024;

    bool readFully(std::uint64_t offset, void* data, size_t n)
    {
        return readFullyAt(m_fd, data, n, offset);
    }

    void measure()
    {
        const std::optional<FileInfo> info =
            m_fd >= 0 ? openFileInfo(m_fd) : std::optional<FileInfo>();
        if (info && info->isRegular())
            m_size = static_cast<std::uint64_t>(info->size);
        else if (m_error == 0)
            m_error = m_fd < 0 ? EBADF : EINVAL;
    }

    UniqueFd m_owned;
    int m_fd = -1;
    int m_error = 0;
    std::uint64_t m_size = 0;
    std::vector<unsigned char> m_window;
    std::uint64_t m_windowStart = 0;
};

std::uint32_t be32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

std::uint64_t be64(const unsigned char* p)
{
    return static_cast<std::uint64_t>(be32(p)) << 32 | be32(p + 4);
}

struct Box
{
    std::string_view type;
    const unsigned char* payload;
    size_t size;
};

// Walks the boxes inside an in-memory parent; false when one runs past the parent's end.
template <typename Visit> bool forEachBox(const unsigned char* data, size_t size, Visit visit)
{
    size_t at = 0;
    while (at < size) {
        if (size - at < 8)
            return false;
        std::uint64_t boxSize = be32(data + at);
        size_t header = 8;
        if (boxSize == 1) {
            if (size - at < 16)
                return false;
            boxSize = be64(data + at + 8);
            header = 16;
        }
        // Size 0 ("to the end of the file") is for a top-level box only.
        if (boxSize < header || boxSize > size - at)
            return false;
        visit(Box{std::string_view(reinterpret_cast<const char*>(data + at + 4), 4),
                  data + at + header, static_cast<size_t>(boxSize) - header});
        at += static_cast<size_t>(boxSize);
    }
    return true;
}

const char* const kNoVideo = "the output holds no video track";

// ffmpeg nests mdia/minf/stbl three deep inside trak; a deeper chain is no file of its, and
// following it without a limit would exhaust the stack.
constexpr int kMaxTrackDepth = 8;

struct Track
{
    std::string_view handler;
    std::uint64_t samples = 0;
    std::uint64_t lastChunk = 0; // the largest chunk offset
    bool ok = true;
};

// Fills a track from the boxes of trak/mdia/minf/stbl that matter here.
void readTrackBoxes(const Box& box, Track& track, int depth = 1)
{
    if (box.type == "mdia" || box.type == "minf" || box.type == "stbl") {
        if (depth >= kMaxTrackDepth) {
            track.ok = false;
            return;
        }
        track.ok = forEachBox(box.payload, box.size,
                              [&](const Box& child) { readTrackBoxes(child, track, depth + 1); }) &&
                   track.ok;
    } else if (box.type == "hdlr") {
        // version and flags, pre_defined, handler_type
        if (box.size >= 12)
            track.handler = std::string_view(reinterpret_cast<const char*>(box.payload + 8), 4);
    } else if (box.type == "stsz") {
        // version and flags, sample_size, sample_count, then one size per sample unless all
        // samples have sample_size
        if (box.size < 12) {
            track.ok = false;
            return;
        }
        track.samples = be32(box.payload + 8);
        if (be32(box.payload + 4) == 0 && track.samples > (box.size - 12) / 4)
            track.ok = false;
    } else if (box.type == "stco" || box.type == "co64") {
        const size_t width = box.type == "stco" ? 4 : 8;
        if (box.size < 8) {
            track.ok = false;
            return;
        }
        const std::uint64_t count = be32(box.payload + 4);
        if (count > (box.size - 8) / width) {
            track.ok = false;
            return;
        }
        for (std::uint64_t i = 0; i < count; ++i) {
            const unsigned char* entry = box.payload + 8 + i * width;
            const std::uint64_t offset = width == 4 ? be32(entry) : be64(entry);
            track.lastChunk = std::max(track.lastChunk, offset);
        }
    }
}

std::string checkMp4(File& file, bool needsVideo)
{
    std::uint64_t at = 0;
    std::uint64_t moovAt = 0;
    std::uint64_t moovSize = 0;
    bool sawMdat = false;
    while (at < file.size()) {
        unsigned char header[16];
        if (!file.read(at, header, 8))
            return "the file ends inside a box header";
        std::uint64_t boxSize = be32(header);
        std::uint64_t headerSize = 8;
        if (boxSize == 1) {
            if (!file.read(at + 8, header + 8, 8))
                return "the file ends inside a box header";
            boxSize = be64(header + 8);
            headerSize = 16;
        } else if (boxSize == 0) {
            boxSize = file.size() - at;
        }
        const std::string_view type(reinterpret_cast<const char*>(header + 4), 4);
        if (boxSize < headerSize || boxSize > file.size() - at)
            return "the box \"" + std::string(type) + "\" runs past the end of the file";
        if (at == 0 && type != "ftyp")
            return "not an MP4 file";
        if (type == "moov") {
            moovAt = at + headerSize;
            moovSize = boxSize - headerSize;
        } else if (type == "mdat") {
            sawMdat = true;
        }
        at += boxSize;
    }
    if (file.size() == 0)
        return "the file is empty";
    if (moovSize == 0)
        return "the index (moov) is missing";
    if (!sawMdat)
        return "the media data (mdat) is missing";
    if (moovSize > kMaxIndexSize)
        return "the index (moov) is implausibly large";

    std::vector<unsigned char> moov(static_cast<size_t>(moovSize));
    if (!file.read(moovAt, moov.data(), moov.size()))
        return "the index (moov) cannot be read";
    bool hasVideo = false;
    bool hasSamples = false;
    bool broken = false;
    const bool parsed = forEachBox(moov.data(), moov.size(), [&](const Box& box) {
        if (box.type != "trak")
            return;
        Track track;
        track.ok = forEachBox(box.payload, box.size,
                              [&](const Box& child) { readTrackBoxes(child, track); }) &&
                   track.ok;
        if (!track.ok || track.lastChunk >= file.size())
            broken = true;
        else if (track.samples > 0 && track.handler == "vide")
            hasVideo = true;
        else if (track.samples > 0)
            hasSamples = true;
    });
    if (!parsed || broken)
        return "the index (moov) is damaged";
    if (hasVideo || (!needsVideo && hasSamples))
        return {};
    return needsVideo ? kNoVideo : "the output holds no samples";
}

// The length in bytes of the MPEG audio Layer III frame with this header, or 0 for a header
// that is not one.
size_t mp3FrameLength(const unsigned char* h)
{
    static constexpr std::array<int, 15> kMpeg1Rates = {0,   32,  40,  48,  56,  64,  80, 96,
                                                        112, 128, 160, 192, 224, 256, 320};
    static constexpr std::array<int, 15> kMpeg2Rates = {0,  8,  16, 24,  32,  40,  48, 56,
                                                        64, 80, 96, 112, 128, 144, 160};
    static constexpr std::array<int, 3> kSampleRates = {44100, 48000, 32000};
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
        return 0;
    const int version = (h[1] >> 3) & 3; // 0: 2.5, 2: 2, 3: 1
    const int layer = (h[1] >> 1) & 3;   // 1: Layer III
    const int rateIndex = h[2] >> 4;
    const int sampleIndex = (h[2] >> 2) & 3;
    const int padding = (h[2] >> 1) & 1;
    if (version == 1 || layer != 1 || rateIndex == 0 || rateIndex == 15 || sampleIndex == 3)
        return 0;
    const bool mpeg1 = version == 3;
    const int bitRate = (mpeg1 ? kMpeg1Rates : kMpeg2Rates)[static_cast<size_t>(rateIndex)];
    const int halvings = mpeg1 ? 0 : version == 2 ? 1 : 2;
    const int sampleRate = kSampleRates[static_cast<size_t>(sampleIndex)] >> halvings;
    return static_cast<size_t>((mpeg1 ? 144000 : 72000) * bitRate / sampleRate + padding);
}

std::string checkMp3(File& file)
{
    std::uint64_t at = 0;
    unsigned char header[10];
    if (file.read(0, header, 10) && std::memcmp(header, "ID3", 3) == 0) {
        const std::uint64_t tagSize = (header[6] & 0x7Fu) << 21 | (header[7] & 0x7Fu) << 14 |
                                      (header[8] & 0x7Fu) << 7 | (header[9] & 0x7Fu);
        at = 10 + tagSize + ((header[5] & 0x10) ? 10 : 0);
    }
    std::uint64_t frames = 0;
    while (at < file.size()) {
        if (file.size() - at == 128 && file.read(at, header, 3) &&
            std::memcmp(header, "TAG", 3) == 0)
            break; // ID3v1 tag at the end
        if (!file.read(at, header, 4))
            return "the file ends inside a frame header";
        const size_t length = mp3FrameLength(header);
        if (length == 0)
            return "no MPEG audio frame at byte " + std::to_string(at);
        if (length > file.size() - at)
            return "the last audio frame is cut short";
        at += length;
        ++frames;
    }
    return frames > 0 ? std::string() : "the output holds no audio";
}

} // namespace

namespace {

std::string check(File& file, bool audioOnly, bool needsVideo)
{
    if (file.error())
        return "the output cannot be read: " + std::string(std::strerror(file.error()));
    return audioOnly ? checkMp3(file) : checkMp4(file, needsVideo);
}

} // namespace

std::string checkOutputFile(const std::string& path, bool audioOnly, bool needsVideo)
{
    File file(path);
    return check(file, audioOnly, needsVideo);
}

std::string checkOutputFile(int fd, bool audioOnly, bool needsVideo)
{
    File file(fd);
    return check(file, audioOnly, needsVideo);
}

bool clearDisplayMatrix(int fd)
{
    static constexpr std::array<std::uint32_t, 9> identity = {0x10000, 0, 0, 0,         0x10000,
                                                              0,       0, 0, 0x40000000};
    unsigned char upright[36];
    for (size_t i = 0; i < identity.size(); ++i) {
        for (size_t k = 0; k < 4; ++k)
            upright[i * 4 + k] = static_cast<unsigned char>(identity[i] >> (24 - 8 * k));
    }
    File file(fd);
    std::uint64_t at = 0;
    while (at < file.size()) {
        unsigned char header[16];
        if (!file.read(at, header, 8))
            return false;
        std::uint64_t boxSize = be32(header);
        std::uint64_t headerSize = 8;
        if (boxSize == 1) {
            if (!file.read(at + 8, header + 8, 8))
                return false;
            boxSize = be64(header + 8);
            headerSize = 16;
        } else if (boxSize == 0) {
            boxSize = file.size() - at;
        }
        if (boxSize < headerSize || boxSize > file.size() - at)
            return false;
        if (std::string_view(reinterpret_cast<const char*>(header + 4), 4) != "moov" ||
            boxSize - headerSize > kMaxIndexSize) {
            at += boxSize;
            continue;
        }
        std::vector<unsigned char> moov(static_cast<size_t>(boxSize - headerSize));
        if (!file.read(at + headerSize, moov.data(), moov.size()))
            return false;
        bool written = true;
        forEachBox(moov.data(), moov.size(), [&](const Box& trak) {
            if (trak.type != "trak")
                return;
            forEachBox(trak.payload, trak.size, [&](const Box& tkhd) {
                // version and flags, the times, id and duration (twice as wide in version
                // 1), reserved, layer, group, volume, reserved, then the matrix
                const size_t matrix = tkhd.size > 0 && tkhd.payload[0] == 1 ? 52 : 40;
                if (tkhd.type != "tkhd" || tkhd.size < matrix + sizeof upright ||
                    std::memcmp(tkhd.payload + matrix, upright, sizeof upright) == 0)
                    return;
                const std::uint64_t offset =
                    at + headerSize + static_cast<std::uint64_t>(tkhd.payload - moov.data()) +
                    matrix;
                written =
                    written && ::pwrite(fd, upright, sizeof upright, static_cast<off_t>(offset)) ==
                                   static_cast<ssize_t>(sizeof upright);
            });
        });
        return written && ::fsync(fd) == 0;
    }
    return false;
}

} // namespace tovilo
