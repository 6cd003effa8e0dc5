#include "encoder/plan/OutputIdentity.h"

#include "encoder/plan/DvdChapters.h"
#include "oscore/FileInfo.h"

#include <algorithm>
#include <cmath>

namespace tovilo {

namespace {

// A folder with more names than this is no one show's season; the rest are not looked at.
constexpr size_t kMostNeighbours = 4096;

std::string lastName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name of the disc a DVD's file is on (the folder above VIDEO_TS or DVD_RTAV), or empty.
std::string discName(const std::string& folder)
{
    std::string last = lastName(folder);
    for (char& c : last)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (last != "VIDEO_TS" && last != "DVD_RTAV")
        return {};
    const std::string disc = lastName(folderOf(folder));
    return disc == "." || disc == "/" ? std::string() : disc;
}

std::string escaped(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        if (c == '=' || c == ';' || c == '#' || c == '\\' || c == '\n')
            out += '\\';
        out += c;
    }
    return out;
}

} // namespace

OutputIdentity outputIdentityFor(const WrapperRequest& request, const SourceInfo& source)
{
    OutputIdentity out;
    if (request.audioOnly || !source.known)
        return out;
    const std::string folder = folderOf(request.source);
    const std::string name = lastName(request.source);
    const std::string disc = discName(folder);
    MediaIdentity identity;
    std::vector<MediaChapter> chapters;
    double offset = source.skipTo;
    if (!disc.empty()) {
        // "VTS_01_1" says nothing of the film; the disc's name does.
        const size_t dot = name.rfind('.');
        identity.title = disc + ' ' + name.substr(0, dot);
        chapters = dvdChapters(request.source);
    } else {
        identity = identify(source.tags, name, folderNames(folder, kMostNeighbours), false);
        chapters = source.chapters;
        // The conversion starts at the source's first time, and further on by skipTo.
        offset += std::max(source.startTime, 0.0);
    }
    out.tags = identityTags(identity);
    out.replaceChapters = !chapters.empty();
    out.chapters = chaptersFrom(std::move(chapters), offset);
    return out;
}

std::string chapterMetadata(const std::vector<MediaChapter>& chapters)
{
    const auto ms = [](double seconds) { return std::to_string(std::llround(seconds * 1000)); };
    std::string text = ";FFMETADATA1\n";
    for (const MediaChapter& chapter : chapters)
        text += "[CHAPTER]\nTIMEBASE=1/1000\nSTART=" + ms(chapter.start) +
                "\nEND=" + ms(chapter.end) + "\ntitle=" + escaped(chapter.title) + '\n';
    return text;
}

} // namespace tovilo
