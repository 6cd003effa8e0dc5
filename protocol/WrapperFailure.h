#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tovilo {

// lib/ffmpeg ends every failed run with one line "lib/ffmpeg: error: <kind>: <detail>\n",
// <kind> one of the names below. The program shows a reason for the kind on the job's row.
inline constexpr std::string_view wrapperErrorPrefix = "lib/ffmpeg: error:";

enum class FailureKind
{
    InputMissing,
    InputUnreadable,
    InputInvalid,
    InputNotFile,    // a pipe, a device or a socket: never converted
    InputIncomplete, // a read error before the source's end
    InputChanged,    // written to or cut while it was converted
    NoAudio,
    DiskFull,
    OutputFolder,
    OutputUnwritable,
    EncoderMissing,
    IncompleteOutput,
    Stopped,
    Usage,
    Other,
};

// One failure: its kind and the words after it.
struct Failure
{
    FailureKind kind;
    std::string detail;
};

struct FailureKindName
{
    FailureKind kind;
    std::string_view name;
};

inline constexpr std::array failureKindNames{
    FailureKindName{FailureKind::InputMissing, "input-missing"},
    FailureKindName{FailureKind::InputUnreadable, "input-unreadable"},
    FailureKindName{FailureKind::InputInvalid, "input-invalid"},
    FailureKindName{FailureKind::InputNotFile, "input-not-file"},
    FailureKindName{FailureKind::InputIncomplete, "input-incomplete"},
    FailureKindName{FailureKind::InputChanged, "input-changed"},
    FailureKindName{FailureKind::NoAudio, "no-audio"},
    FailureKindName{FailureKind::DiskFull, "disk-full"},
    FailureKindName{FailureKind::OutputFolder, "output-folder"},
    FailureKindName{FailureKind::OutputUnwritable, "output-unwritable"},
    FailureKindName{FailureKind::EncoderMissing, "encoder-missing"},
    FailureKindName{FailureKind::IncompleteOutput, "incomplete-output"},
    FailureKindName{FailureKind::Stopped, "stopped"},
    FailureKindName{FailureKind::Usage, "usage"},
    FailureKindName{FailureKind::Other, "other"},
};
static_assert(failureKindNames.size() == std::size_t(FailureKind::Other) + 1,
              "every kind has a name");

constexpr std::string_view failureKindName(FailureKind kind)
{
    for (const FailureKindName& entry : failureKindNames) {
        if (entry.kind == kind)
            return entry.name;
    }
    return "other";
}

constexpr std::optional<FailureKind> failureKindFromName(std::string_view name)
{
    for (const FailureKindName& entry : failureKindNames) {
        if (entry.name == name)
            return entry.kind;
    }
    return std::nullopt;
}

// A run that succeeds may still have a word for the user about its result, in a line
// "lib/ffmpeg: notice: <kind>: <detail>\n"; the program shows it with the converted job.
inline constexpr std::string_view wrapperNoticePrefix = "lib/ffmpeg: notice:";

enum class NoticeKind
{
    SubtitlesLeftOut, // asked for, but unreadable or too costly to draw: converted without
};

constexpr std::string_view noticeKindName(NoticeKind kind)
{
    switch (kind) {
    case NoticeKind::SubtitlesLeftOut:
        return "subtitles-left-out";
    }
    return {};
}

} // namespace tovilo
