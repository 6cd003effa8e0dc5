#pragma once

#include "platform/Error.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

// The conversion queue: jobs in the order they were added, and the settings of the whole queue.
// No widgets here; used on the main thread only. The list announces every change of its jobs.

enum TConvertStatus : std::uint8_t
{
    csWaiting = 0,
    csConverting = 1,
    csConverted = 2,
    csTransferred = 3,
    csFailed = 4,
};

// Why the latest hand-over to a device left a job as it is.
enum class THandOverNote : std::uint8_t
{
    None,
    AlreadyOnDevice, // transferred: the device had it already
    NoRoom,          // still converted: the device had no room left for it
};

// One job. The paths are kept as UTF-16 and handed out as the bytes of the system code page
// that the encoder and the file system take; the conversion between the two is made here only.
struct ThConvertInfoObject
{
    QString SourceFile;
    QString OutputFile;
    TConvertStatus Status = csWaiting;
    // The encoder's failure line of the job's latest failed run ("lib/ffmpeg: error: ..."), or
    // for a converted job the notice of what is not as asked ("lib/ffmpeg: notice: ...");
    // empty otherwise. Not part of the settings.
    QByteArray EncoderError;
    // What an interrupted earlier run of the job may have left and was kept in doubt; shown on
    // the row, never stored.
    QByteArray LeftBehind;
    // What the latest hand-over found, and with NoRoom how many bytes more the device would have
    // needed; shown on the row, never stored.
    THandOverNote HandOverNote = THandOverNote::None;
    qint64 BytesShort = 0;
    // Given by the list that takes the job, and never to another job of this run: a job that
    // was removed is not mistaken for a new one that got its address.
    quint64 Id = 0;

    QByteArray sourcePath() const;
    void setSourcePath(const QByteArray& path);
    QByteArray outputPath() const;
    void setOutputPath(const QByteArray& path);
    // The source's file name as the list shows it.
    QString sourceDisplayName() const;

private:
    friend class ThConvertInfoObjectList;
    // Its index in the list that holds it, kept by the list, so a change names its row at once.
    int m_row = -1;
};

class EListError : public tovilo::Error
{
public:
    using Error::Error;
};

namespace tovilo {

// The settings of the whole queue that the user edits, as one value.
struct ConversionSettings
{
    std::uint8_t Quality = 0;   // 0 (best) .. 4
    std::uint8_t Ratio = 0;     // 0 = 4:3, 1 = 16:9
    QByteArray SaveDir;         // output folder, meant to end in "/"
    bool OpenDir = false;       // open SaveDir when the queue is done
    std::uint8_t Codec = 0;     // video format: 0 = MPEG-4 (every iPod), 1 = H.264
    std::uint8_t Subtitle = 0;  // 0 = none, 1 = Japanese subtitles burned into the picture
    QByteArray WatchDir;        // absolute; its new videos join the queue; empty: none
    std::uint8_t WatchMode = 0; // what is done with them: 0 nothing, else a convert button's tag

    bool operator==(const ConversionSettings&) const = default;
};

} // namespace tovilo

class ThConvertInfoObjectList : public QObject
{
    Q_OBJECT

public:
    ThConvertInfoObjectList() = default;

    // Takes ownership; returns the new job's index.
    int Add(std::unique_ptr<ThConvertInfoObject> job);
    // Appends several jobs with one announcement.
    void AddAll(std::vector<std::unique_ptr<ThConvertInfoObject>> jobs);
    // A waiting job for `path` (in the system code page), added at the end.
    int AddSource(const QByteArray& path);
    int Count() const { return static_cast<int>(m_jobs.size()); }
    // Both throw EListError for an index outside 0..Count()-1 and change nothing.
    ThConvertInfoObject* Items(int index) const;
    void Delete(int index);
    // The index of a job of this list, or -1; at once, however long the list.
    int IndexOf(const ThConvertInfoObject& job) const;
    // The job with that id, or null.
    ThConvertInfoObject* Find(quint64 id) const;
    // A job's status, with the encoder's failure line that goes with it; the list announces it.
    // A new status has no hand-over note yet.
    void SetStatus(ThConvertInfoObject& job, TConvertStatus status,
                   const QByteArray& encoderError = {});
    // What the latest hand-over found for a job; the list announces it.
    void SetHandOverNote(ThConvertInfoObject& job, THandOverNote note, qint64 bytesShort = 0);

    ThConvertInfoObject* FirstWaiting() const;
    ThConvertInfoObject* FirstConverting() const;

    // "-s WxH " for the current Quality and Ratio.
    QByteArray FrameSizeArgument() const;
    // The encoder's argument string (it starts with a blank) for one job, paths in the system
    // code page.
    QByteArray BuildArguments(const QByteArray& source, const QByteArray& output) const;

    tovilo::ConversionSettings Settings; // what the user edits and the settings file keeps
    bool AudioOnly = false;              // MP3 instead of MP4; set per run, never saved

Q_SIGNALS:
    // Rows first..last were appended.
    void jobsAdded(int first, int last);
    // The job at index was removed; the rows after it moved up by one.
    void jobRemoved(int index);
    // The status, the failure reason or the hand-over note of the job at index changed.
    void jobChanged(int index);

private:
    void checkIndex(int index) const;
    ThConvertInfoObject* firstWith(TConvertStatus status) const;

    std::vector<std::unique_ptr<ThConvertInfoObject>> m_jobs;
    quint64 m_nextId = 1;
};
