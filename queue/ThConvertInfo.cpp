#include "queue/ThConvertInfo.h"

#include "platform/CodePage.h"
#include "platform/PathText.h"
#include "protocol/WrapperCommand.h"

QByteArray ThConvertInfoObject::sourcePath() const
{
    return tovilo::fromUtf16(SourceFile);
}

void ThConvertInfoObject::setSourcePath(const QByteArray& path)
{
    SourceFile = tovilo::toUtf16(path);
}

QByteArray ThConvertInfoObject::outputPath() const
{
    return tovilo::fromUtf16(OutputFile);
}

void ThConvertInfoObject::setOutputPath(const QByteArray& path)
{
    OutputFile = tovilo::toUtf16(path);
}

QString ThConvertInfoObject::sourceDisplayName() const
{
    return tovilo::displayText(tovilo::extractFileName(sourcePath()));
}

int ThConvertInfoObjectList::Add(std::unique_ptr<ThConvertInfoObject> job)
{
    job->Id = m_nextId++;
    job->m_row = Count();
    m_jobs.push_back(std::move(job));
    emit jobsAdded(Count() - 1, Count() - 1);
    return Count() - 1;
}

void ThConvertInfoObjectList::AddAll(std::vector<std::unique_ptr<ThConvertInfoObject>> jobs)
{
    if (jobs.empty())
        return;
    const int first = Count();
    for (auto& job : jobs) {
        job->Id = m_nextId++;
        job->m_row = Count();
        m_jobs.push_back(std::move(job));
    }
    emit jobsAdded(first, Count() - 1);
}

int ThConvertInfoObjectList::AddSource(const QByteArray& path)
{
    auto job = std::make_unique<ThConvertInfoObject>();
    job->setSourcePath(path);
    return Add(std::move(job));
}

void ThConvertInfoObjectList::checkIndex(int index) const
{
    if (index < 0 || index >= Count())
        throw EListError(
            QStringLiteral("リストのインデックスが範囲を超えています (%1)").arg(index));
}

ThConvertInfoObject* ThConvertInfoObjectList::Items(int index) const
{
    checkIndex(index);
    return m_jobs[static_cast<size_t>(index)].get();
}

void ThConvertInfoObjectList::Delete(int index)
{
    checkIndex(index);
    m_jobs.erase(m_jobs.begin() + index);
    for (int i = index; i < Count(); ++i)
        m_jobs[static_cast<size_t>(i)]->m_row = i;
    emit jobRemoved(index);
}

int ThConvertInfoObjectList::IndexOf(const ThConvertInfoObject& job) const
{
    const int row = job.m_row;
    return row >= 0 && row < Count() && m_jobs[static_cast<size_t>(row)].get() == &job ? row : -1;
}

ThConvertInfoObject* ThConvertInfoObjectList::Find(quint64 id) const
{
    for (const auto& job : m_jobs) {
        if (job->Id == id)
            return job.get();
    }
    return nullptr;
}

void ThConvertInfoObjectList::SetStatus(ThConvertInfoObject& job, TConvertStatus status,
                                        const QByteArray& encoderError)
{
    job.Status = status;
    job.EncoderError = encoderError;
    job.HandOverNote = THandOverNote::None;
    job.BytesShort = 0;
    const int row = IndexOf(job);
    if (row >= 0)
        emit jobChanged(row);
}

void ThConvertInfoObjectList::SetHandOverNote(ThConvertInfoObject& job, THandOverNote note,
                                              qint64 bytesShort)
{
    job.HandOverNote = note;
    job.BytesShort = note == THandOverNote::NoRoom ? bytesShort : 0;
    const int row = IndexOf(job);
    if (row >= 0)
        emit jobChanged(row);
}

ThConvertInfoObject* ThConvertInfoObjectList::firstWith(TConvertStatus status) const
{
    for (const auto& job : m_jobs) {
        if (job->Status == status)
            return job.get();
    }
    return nullptr;
}

ThConvertInfoObject* ThConvertInfoObjectList::FirstWaiting() const
{
    return firstWith(csWaiting);
}

ThConvertInfoObject* ThConvertInfoObjectList::FirstConverting() const
{
    return firstWith(csConverting);
}

QByteArray ThConvertInfoObjectList::FrameSizeArgument() const
{
    // Any ratio but 0 is wide.
    return QByteArray::fromStdString(
        tovilo::frameSizeArgument(Settings.Quality, Settings.Ratio != 0));
}

QByteArray ThConvertInfoObjectList::BuildArguments(const QByteArray& source,
                                                   const QByteArray& output) const
{
    tovilo::WrapperRequest request;
    request.source = source.toStdString();
    request.output = output.toStdString();
    request.audioOnly = AudioOnly;
    request.quality = Settings.Quality;
    request.wide = Settings.Ratio != 0;
    request.codec = Settings.Codec == 1 ? tovilo::VideoCodec::H264 : tovilo::VideoCodec::Mpeg4;
    request.burnSubtitles = Settings.Subtitle == 1;
    return QByteArray::fromStdString(tovilo::wrapperArguments(request));
}
