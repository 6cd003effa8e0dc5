#include "encoder/output/CoverArt.h"

#include "oscore/Fd.h"
#include "oscore/FileInfo.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace tovilo {

namespace {

// Far more than the index of a file for a portable player.
constexpr std::uint64_t kMaxIndexSize = 256u << 20;

using Bytes = std::string;

std::uint64_t be(const char* p, int bytes)
{
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = value << 8 | static_cast<unsigned char>(p[i]);
    return value;
}

Bytes be32(std::uint64_t value)
{
    Bytes out(4, '\0');
    for (int i = 0; i < 4; ++i)
        out[static_cast<size_t>(i)] = static_cast<char>(value >> (24 - 8 * i));
    return out;
}

Bytes box(std::string_view type, const Bytes& payload)
{
    return be32(payload.size() + 8) + Bytes(type) + payload;
}

struct Child
{
    std::string_view type;
    std::string_view whole; // header included
    std::string_view payload;
};

// The boxes in a parent's payload; nothing when one of them runs past its end.
std::optional<std::vector<Child>> children(std::string_view data)
{
    std::vector<Child> found;
    while (!data.empty()) {
        if (data.size() < 8)
            return std::nullopt;
        std::uint64_t size = be(data.data(), 4);
        size_t header = 8;
        if (size == 1 && data.size() >= 16) {
            size = be(data.data() + 8, 8);
            header = 16;
        }
        if (size < header || size > data.size())
            return std::nullopt;
        found.push_back(
            {data.substr(4, 4), data.substr(0, size), data.substr(header, size - header)});
        data.remove_prefix(size);
    }
    return found;
}

// The parent's payload with `replace` applied to its child `type`, or `make` appended when it
// has none. `skip` bytes (a full box's version and flags) lead the payload.
template <typename Replace>
std::optional<Bytes> withChild(std::string_view payload, std::string_view type, size_t skip,
                               Replace replace, const Bytes& make)
{
    if (payload.size() < skip)
        return std::nullopt;
    const auto list = children(payload.substr(skip));
    if (!list)
        return std::nullopt;
    Bytes out(payload.substr(0, skip));
    bool found = false;
    for (const Child& child : *list) {
        if (child.type != type || found) {
            out += child.whole;
            continue;
        }
        const std::optional<Bytes> replaced = replace(child.payload);
        if (!replaced)
            return std::nullopt;
        out += box(type, *replaced);
        found = true;
    }
    return found ? out : out + make;
}

std::optional<Bytes> moovWithCover(std::string_view moov, std::string_view picture)
{
    // data: type 13 is JPEG, then the locale.
    const Bytes covr = box("covr", box("data", be32(13) + be32(0) + Bytes(picture)));
    const auto ilst = [&](std::string_view payload) -> std::optional<Bytes> {
        const auto list = children(payload);
        if (!list)
            return std::nullopt;
        Bytes out;
        for (const Child& child : *list) {
            if (child.type != "covr")
                out += child.whole;
        }
        return out + covr;
    };
    const Bytes handler = box("hdlr", be32(0) + be32(0) + "mdirappl" + Bytes(9, '\0'));
    const auto meta = [&](std::string_view payload) {
        return withChild(payload, "ilst", 4, ilst, box("ilst", covr));
    };
    const auto udta = [&](std::string_view payload) {
        return withChild(payload, "meta", 0, meta,
                         box("meta", be32(0) + handler + box("ilst", covr)));
    };
    return withChild(moov, "udta", 0, udta,
                     box("udta", box("meta", be32(0) + handler + box("ilst", covr))));
}

struct Index
{
    std::uint64_t at = 0; // of the box
    Bytes payload;
    bool toTheEnd = false; // its size says "to the end of the file": nothing may follow it
};

// The file's top-level moov; nothing when the file is not an MP4 that can be read.
std::optional<Index> readIndex(int fd, std::uint64_t fileSize)
{
    std::uint64_t at = 0;
    while (at + 8 <= fileSize) {
        char header[16];
        if (!readFullyAt(fd, header, 8, at))
            return std::nullopt;
        std::uint64_t size = be(header, 4);
        std::uint64_t headerSize = 8;
        if (size == 1) {
            if (!readFullyAt(fd, header + 8, 8, at + 8))
                return std::nullopt;
            size = be(header + 8, 8);
            headerSize = 16;
        }
        const bool toTheEnd = size == 0;
        if (toTheEnd)
            size = fileSize - at;
        if (size < headerSize || size > fileSize - at)
            return std::nullopt;
        if (std::string_view(header + 4, 4) == "moov") {
            if (size - headerSize > kMaxIndexSize)
                return std::nullopt;
            Index index{at, Bytes(static_cast<size_t>(size - headerSize), '\0'), toTheEnd};
            if (!readFullyAt(fd, index.payload.data(), index.payload.size(), at + headerSize))
                return std::nullopt;
            return index;
        }
        at += size;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> sizeOf(int fd)
{
    const std::optional<FileInfo> info = openFileInfo(fd);
    if (!info || !info->isRegular())
        return std::nullopt;
    return static_cast<std::uint64_t>(info->size);
}

} // namespace

double mp4Duration(int fd)
{
    const std::optional<std::uint64_t> size = sizeOf(fd);
    const std::optional<Index> index = size ? readIndex(fd, *size) : std::nullopt;
    const auto list = index ? children(index->payload) : std::nullopt;
    if (!list)
        return -1;
    for (const Child& child : *list) {
        // version and flags, then the times, the time scale and the duration (wider in version 1)
        const std::string_view p = child.payload;
        const bool wide = !p.empty() && p[0] == 1;
        if (child.type != "mvhd" || p.size() < (wide ? 32u : 20u))
            continue;
        const std::uint64_t scale = be(p.data() + (wide ? 20 : 12), 4);
        const std::uint64_t duration = be(p.data() + (wide ? 24 : 16), wide ? 8 : 4);
        return scale > 0 ? static_cast<double>(duration) / static_cast<double>(scale) : -1;
    }
    return -1;
}

bool addCoverPicture(int fd, std::string_view picture)
{
    const std::optional<std::uint64_t> size = sizeOf(fd);
    const std::optional<Index> index = size ? readIndex(fd, *size) : std::nullopt;
    const std::optional<Bytes> payload =
        index && !index->toTheEnd ? moovWithCover(index->payload, picture) : std::nullopt;
    if (!payload)
        return false;
    const Bytes moov = box("moov", *payload);
    const auto written = ::pwrite(fd, moov.data(), moov.size(), static_cast<off_t>(*size));
    if (written != static_cast<ssize_t>(moov.size()) || !syncToDisk(fd)) {
        // Whatever of it reached the file goes again; the old index still stands.
        static_cast<void>(::ftruncate(fd, static_cast<off_t>(*size)));
        return false;
    }
    return ::pwrite(fd, "free", 4, static_cast<off_t>(index->at + 4)) == 4 && syncToDisk(fd);
}

} // namespace tovilo
