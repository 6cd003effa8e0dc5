#include "engine/QueueStore.h"

#include "engine/JsonBytes.h"

#include "oscore/Fd.h"
#include "oscore/OwnFile.h"
#include "platform/FileSystem.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace tovilo {

namespace {

bool validStatus(const QJsonValue& value)
{
    const int status = value.toInt(-1);
    return value.isDouble() && status >= csWaiting && status <= csFailed;
}

// The empty file reserved for a converting job's output: what names its partial file and
// tells the reservation from anything that takes the name later.
struct FileId
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 modifiedNs = 0;
};

FileId fileIdOf(const QByteArray& path)
{
    const std::optional<FileFacts> facts =
        path.isEmpty() ? std::nullopt : pathFacts(path, Links::Keep);
    if (!facts || facts->kind != FileFacts::Kind::File)
        return {};
    return {static_cast<quint64>(facts->device), static_cast<quint64>(facts->inode),
            facts->modifiedNs};
}

void putFileId(QJsonObject& object, const FileId& id)
{
    if (id.inode == 0)
        return;
    object.insert(QStringLiteral("device"), QString::number(id.device));
    object.insert(QStringLiteral("inode"), QString::number(id.inode));
    object.insert(QStringLiteral("modified"), QString::number(id.modifiedNs));
}

FileId takeFileId(const QJsonObject& object)
{
    return {object.value(QStringLiteral("device")).toString().toULongLong(),
            object.value(QStringLiteral("inode")).toString().toULongLong(),
            object.value(QStringLiteral("modified")).toString().toLongLong()};
}

// A reason is a line of the encoder's; one cut in a UTF-8 sequence loses only that character.
QByteArray boundedReason(const QByteArray& reason)
{
    return reason.size() <= QueueStore::MaxReasonBytes ? reason
                                                       : reason.left(QueueStore::MaxReasonBytes);
}

// The changeable part of a job, as a document entry or a journal line carries it.
void putState(QJsonObject& object, const ThConvertInfoObject& job, const FileId& id)
{
    object.insert(QStringLiteral("status"), static_cast<int>(job.Status));
    putBytes(object, QStringLiteral("output"), job.outputPath());
    putBytes(object, QStringLiteral("reason"), boundedReason(job.EncoderError));
    if (job.Status == csConverting)
        putFileId(object, id);
}

struct KeptJob
{
    QByteArray source;
    TConvertStatus status = csWaiting;
    QByteArray output;
    QByteArray reason;
    FileId output_id;
};

bool takeState(const QJsonObject& object, KeptJob& job)
{
    job.status = static_cast<TConvertStatus>(object.value(QStringLiteral("status")).toInt());
    job.output = takeBytes(object, QStringLiteral("output"));
    job.reason = boundedReason(takeBytes(object, QStringLiteral("reason")));
    job.output_id = takeFileId(object);
    return job.output.size() <= QueueStore::MaxPathBytes;
}

struct Kept
{
    quint64 sequence = 0; // of the last change read
    bool audioOnly = false;
    std::vector<KeptJob> jobs;
};

// The document and then the journal's lines after it. Nothing for a document that is not a
// queue of ours or comes from a newer version; a torn last journal line is the end of it.
std::optional<Kept> readKept(const QByteArray& documentBytes, const QByteArray& journalBytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(documentBytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject root = document.object();
    const int version = root.value(QStringLiteral("version")).toInt(0);
    if (version < 1 || version > QueueStore::Version ||
        !root.value(QStringLiteral("jobs")).isArray() ||
        root.value(QStringLiteral("jobs")).toArray().size() > QueueStore::MaxJobs)
        return std::nullopt;
    Kept kept;
    kept.audioOnly = root.value(QStringLiteral("audioOnly")).toBool(false);
    const quint64 sequence = root.value(QStringLiteral("sequence")).toString().toULongLong();
    kept.sequence = sequence;
    for (const QJsonValue& value : root.value(QStringLiteral("jobs")).toArray()) {
        const QJsonObject object = value.toObject();
        KeptJob job;
        job.source = takeBytes(object, QStringLiteral("source"));
        if (job.source.isEmpty() || job.source.size() > QueueStore::MaxPathBytes ||
            !validStatus(object.value(QStringLiteral("status"))) || !takeState(object, job))
            return std::nullopt;
        kept.jobs.push_back(std::move(job));
    }
    for (const QByteArray& line : journalBytes.split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        const qsizetype index = object.value(QStringLiteral("index")).toInteger(-1);
        if (object.isEmpty() || !validStatus(object.value(QStringLiteral("status"))) || index < 0 ||
            index >= std::ssize(kept.jobs))
            break;
        const quint64 lineSequence =
            object.value(QStringLiteral("sequence")).toString().toULongLong();
        if (lineSequence > sequence) {
            KeptJob& job = kept.jobs[static_cast<size_t>(index)];
            KeptJob changed = job;
            if (!takeState(object, changed))
                break;
            job = std::move(changed);
            kept.sequence = std::max(kept.sequence, lineSequence);
        }
    }
    return kept;
}

// Nothing for a file too large to be a queue of ours.
std::optional<QByteArray> readAll(const QByteArray& path)
{
    QFile file(QFile::decodeName(path));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray bytes = file.read(QueueStore::MaxFileBytes + 1);
    if (bytes.size() > QueueStore::MaxFileBytes)
        return std::nullopt;
    return bytes;
}

} // namespace

QueueStore::QueueStore(QByteArray dataFolder)
    : m_folder(std::move(dataFolder)), m_writer([this] { writerLoop(); })
{
}

QueueStore::~QueueStore()
{
    {
        std::lock_guard lock(m_lock);
        m_quit = true;
    }
    m_wake.notify_all();
    m_writer.join();
}

QueueStore::Restored QueueStore::restore(ThConvertInfoObjectList& jobs)
{
    Restored restored;
    m_restored = true;
    const std::optional<QByteArray> documentBytes = readAll(documentPath());
    if (documentBytes && documentBytes->isEmpty() &&
        !QFile::exists(QFile::decodeName(documentPath())))
        return restored;
    m_onDisk = true;
    const std::optional<QByteArray> journalBytes = readAll(journalPath());
    const std::optional<Kept> kept =
        documentBytes && journalBytes ? readKept(*documentBytes, *journalBytes) : std::nullopt;
    if (!kept) {
        moveAside();
        m_onDisk = false;
        restored.broken = true;
        return restored;
    }
    // Numbers go on from the file's, so no line left over from it can pass for a new one.
    m_sequence = kept->sequence;
    jobs.AudioOnly = kept->audioOnly;
    std::vector<std::unique_ptr<ThConvertInfoObject>> back;
    for (const KeptJob& keptJob : kept->jobs) {
        auto job = std::make_unique<ThConvertInfoObject>();
        job->setSourcePath(keptJob.source);
        job->setOutputPath(keptJob.output);
        job->Status = keptJob.status;
        job->EncoderError = keptJob.reason;
        if (job->Status == csConverting) {
            // The run ended with the program. Its partial file is known by its name alone and
            // the reservation by being empty and unchanged, never by a number a finished or
            // unrelated file may carry since: in doubt, nothing goes.
            job->Status = csWaiting;
            job->EncoderError.clear();
            const FileId& id = keptJob.output_id;
            const InterruptedOutput left =
                removeInterruptedOutput(keptJob.output, static_cast<dev_t>(id.device),
                                        static_cast<ino_t>(id.inode), id.modifiedNs);
            if (left.partialRemoved)
                ++restored.partialsRemoved;
            if (!left.left.isEmpty()) {
                job->LeftBehind = left.left;
                restored.left << left.left;
            }
        }
        back.push_back(std::move(job));
        ++restored.jobs;
    }
    jobs.AddAll(std::move(back));
    return restored;
}

void QueueStore::moveAside()
{
    for (const QByteArray& path : {documentPath(), journalPath()})
        ::rename(path.constData(), (path + ".broken").constData());
}

void QueueStore::setReport(std::function<void(int)> report)
{
    std::lock_guard lock(m_lock);
    m_report = std::move(report);
}

QByteArray QueueStore::document(const ThConvertInfoObjectList& jobs, quint64 sequence)
{
    QJsonArray list;
    for (int i = 0; i < jobs.Count(); ++i) {
        const ThConvertInfoObject& job = *jobs.Items(i);
        QJsonObject entry;
        putBytes(entry, QStringLiteral("source"), job.sourcePath());
        putState(entry, job, job.Status == csConverting ? fileIdOf(job.outputPath()) : FileId{});
        list.append(entry);
    }
    QJsonObject root;
    root.insert(QStringLiteral("version"), Version);
    root.insert(QStringLiteral("sequence"), QString::number(sequence));
    root.insert(QStringLiteral("audioOnly"), jobs.AudioOnly);
    root.insert(QStringLiteral("jobs"), list);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

void QueueStore::save(const ThConvertInfoObjectList& jobs, const Changes& changes)
{
    const int count = jobs.Count();
    // An empty queue that was never kept leaves the data folder as it is.
    if (count == 0 && !m_onDisk)
        return;
    // Rewriting the whole queue once it has had as many changes as it has jobs keeps both
    // the journal and the cost of a change bounded.
    if (!m_restored || changes.whole ||
        m_journalLines + std::ssize(changes.rows) > std::max<qsizetype>(256, count)) {
        writeDocument(jobs);
        return;
    }
    QByteArray lines;
    for (int i : changes.rows) {
        if (i < 0 || i >= count)
            continue;
        const ThConvertInfoObject& job = *jobs.Items(i);
        QJsonObject line;
        line.insert(QStringLiteral("sequence"), QString::number(++m_sequence));
        line.insert(QStringLiteral("index"), i);
        // A job turns converting with its new output, which is made before the line is saved.
        putState(line, job, job.Status == csConverting ? fileIdOf(job.outputPath()) : FileId{});
        lines += QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
        ++m_journalLines;
    }
    if (!lines.isEmpty())
        post({false, lines});
}

void QueueStore::writeDocument(const ThConvertInfoObjectList& jobs)
{
    m_restored = true;
    m_onDisk = true;
    m_journalLines = 0;
    post({true, document(jobs, m_sequence)});
}

void QueueStore::post(Task task)
{
    {
        std::lock_guard lock(m_lock);
        m_tasks.push_back(std::move(task));
    }
    m_wake.notify_all();
}

void QueueStore::flush()
{
    std::unique_lock lock(m_lock);
    m_idle.wait(lock, [this] { return m_tasks.empty() && !m_busy; });
}

void QueueStore::writerLoop()
{
    // Lines go only after a document that was written: they number the jobs as it does. After
    // a failed write (a full or read-only folder) a torn line may end the journal, so nothing
    // more is appended until a whole document is written again.
    bool documentWritten = true;
    int failure = 0;
    std::unique_lock lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [this] { return m_quit || !m_tasks.empty(); });
        if (m_tasks.empty())
            return; // quitting, nothing left to write
        std::deque<Task> tasks;
        tasks.swap(m_tasks);
        m_busy = true;
        lock.unlock();

        // Only the latest document matters, with the lines that follow it.
        auto first = tasks.begin();
        for (auto it = tasks.begin(); it != tasks.end(); ++it) {
            if (it->whole)
                first = it;
        }
        int error = 0;
        bool truncate = false;
        if (first->whole) {
            error = replaceFile(documentPath(), first->bytes, 0600);
            truncate = documentWritten = error == 0;
            ++first;
        }
        QByteArray lines;
        for (auto it = first; documentWritten && it != tasks.end(); ++it)
            lines += it->bytes;
        if (truncate || !lines.isEmpty()) {
            // Lines the new document already holds carry older sequence numbers and are
            // passed over when read; emptying the journal only saves reading them.
            const UniqueFd fd =
                openFile(journalPath().constData(),
                         O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND), 0600);
            if (!fd.isValid() ||
                !writeAll(fd.get(),
                          std::string_view(lines.constData(), static_cast<size_t>(lines.size()))) ||
                ::fdatasync(fd.get()) != 0) {
                error = errno;
                documentWritten = false;
            }
        }
        if (error == 0 && !documentWritten)
            error = failure; // held back until a document is written
        const bool tell = error != 0 || failure != 0;
        failure = error;

        lock.lock();
        if (tell && m_report)
            m_report(error);
        m_busy = false;
        m_idle.notify_all();
    }
}

} // namespace tovilo
