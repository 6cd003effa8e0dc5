#pragma once

#include "devices/MediaProbe.h"

#include <QByteArray>

#include <cstdint>

namespace tovilo {

// How the device's database files a kind of media.
struct MediaKind
{
    const char* fileType;
    std::uint32_t mediaType; // libgpod's ITDB_MEDIATYPE_...
    bool video;
};

// The kinds the converter writes, plus their close relatives; null for any other file.
const MediaKind* mediaKindOf(const QByteArray& path, const MediaFacts& facts);

} // namespace tovilo
