#include "devices/MediaKinds.h"

#include "platform/PathText.h"

#include <gpod/itdb.h>

namespace tovilo {

// An MP4 without a moving picture is music, not a film without a picture.
const MediaKind* mediaKindOf(const QByteArray& path, const MediaFacts& facts)
{
    static const MediaKind mpeg4Video{"MPEG-4 video file", ITDB_MEDIATYPE_MOVIE, true};
    static const MediaKind mpegAudio{"MPEG audio file", ITDB_MEDIATYPE_AUDIO, false};
    static const MediaKind aacAudio{"AAC audio file", ITDB_MEDIATYPE_AUDIO, false};
    const QByteArray extension = extractFileExt(path).toLower();
    if (extension == ".mp4" || extension == ".m4v")
        return facts.known && !facts.hasVideo ? &aacAudio : &mpeg4Video;
    if (extension == ".mp3")
        return &mpegAudio;
    if (extension == ".m4a")
        return &aacAudio;
    return nullptr;
}

} // namespace tovilo
