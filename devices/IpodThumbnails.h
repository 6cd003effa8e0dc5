#pragma once

#include <QByteArray>
#include <QTemporaryDir>

#include <memory>

namespace tovilo {

// The pictures the video menu shows, made with ffmpeg into a scratch folder that lives as
// long as this object: libgpod reads them only when it writes the database.
class IpodThumbnails
{
public:
    // A frame from about a tenth into `video`; empty when none could be made.
    QByteArray make(const QByteArray& video, int durationMs);

private:
    std::unique_ptr<QTemporaryDir> m_folder;
    int m_count = 0;
};

} // namespace tovilo
