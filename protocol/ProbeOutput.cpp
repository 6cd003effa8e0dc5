#include "protocol/ProbeOutput.h"

#include <charconv>

namespace tovilo {

ProbeOutput::ProbeOutput(std::string_view text)
{
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        std::string_view raw = line.substr(equals + 1);
        std::string value;
        if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') {
            raw = raw.substr(1, raw.size() - 2);
            for (size_t i = 0; i < raw.size(); ++i) {
                if (raw[i] == '\\' && i + 1 < raw.size()) {
                    ++i;
                    value += raw[i] == 'n' ? '\n' : raw[i];
                } else {
                    value += raw[i];
                }
            }
        } else {
            value = raw;
        }
        m_values.emplace(line.substr(0, equals), std::move(value));
    }
}

const std::string* ProbeOutput::find(std::string_view key) const
{
    const auto it = m_values.find(key);
    return it == m_values.end() ? nullptr : &it->second;
}

int ProbeOutput::probeIndex(std::string_view text)
{
    return probeInt(text, -1);
}

int probeInt(std::string_view text, int fallback)
{
    int value = fallback;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : fallback;
}

double probeNumber(std::string_view text)
{
    double value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size() ? value : -1;
}

bool readStreamField(ProbeStream& stream, std::string_view field, const std::string& value)
{
    if (field == "index")
        stream.index = probeInt(value, -1);
    else if (field == "codec_type")
        stream.type = value;
    else if (field == "disposition.attached_pic")
        stream.attachedPicture = value == "1";
    else
        return false;
    return true;
}

MediaTags probeTags(const ProbeOutput& probe)
{
    MediaTags tags;
    probe.forEachKey("format.tags.", [&](std::string_view key, const std::string& value) {
        std::string lower(key);
        for (char& c : lower)
            c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        tags.emplace(std::move(lower), value);
    });
    return tags;
}

std::vector<MediaChapter> probeChapters(const ProbeOutput& probe)
{
    std::map<int, MediaChapter> chapters;
    probe.forEachEntry("chapters.chapter.",
                       [&](int n, std::string_view field, const std::string& value) {
                           if (field == "start_time")
                               chapters[n].start = probeNumber(value);
                           else if (field == "end_time")
                               chapters[n].end = probeNumber(value);
                           else if (field == "tags.title")
                               chapters[n].title = value;
                       });
    std::vector<MediaChapter> listed;
    for (const auto& [n, chapter] : chapters) {
        if (chapter.start >= 0)
            listed.push_back(chapter);
    }
    return listed;
}

std::vector<std::string> mediaSummaryArguments(const std::string& file)
{
    return {"-v",
            "error",
            "-show_entries",
            "format=duration,bit_rate:stream=codec_type:stream_disposition=attached_pic:" +
                std::string(TagAndChapterEntries),
            "-of",
            "flat",
            file};
}

MediaSummary readMediaSummary(std::string_view text)
{
    const ProbeOutput probe(text);
    MediaSummary summary;
    summary.known = !probe.empty();
    if (const std::string* duration = probe.find("format.duration"))
        summary.durationSeconds = probeNumber(*duration);
    if (const std::string* bitRate = probe.find("format.bit_rate"))
        summary.bitsPerSecond = probeNumber(*bitRate);
    std::map<int, ProbeStream> streams;
    probe.forEachEntry("streams.stream.",
                       [&](int n, std::string_view field, const std::string& value) {
                           readStreamField(streams[n], field, value);
                       });
    for (const auto& [n, stream] : streams)
        summary.hasMovingPicture = summary.hasMovingPicture || stream.isMovingPicture();
    summary.tags = probeTags(probe);
    summary.chapters = probeChapters(probe);
    return summary;
}

} // namespace tovilo
