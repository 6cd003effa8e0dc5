#include "engine/WatchFolder.h"

#include "engine/JsonBytes.h"
#include "engine/LatestFileWriter.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "platform/FolderEvents.h"
#include "queue/ThConvertInfo.h"
#include "queue/VideoFormats.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <algorithm>

namespace tovilo {

namespace {

constexpr int Version = 1;
constexpr qint64 MaxStoreBytes = 64 * 1024 * 1024;

QByteArray withoutTrailingSlash(QByteArray path)
{
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path;
}

bool isInside(const QByteArray& path, const QByteArray& folder)
{
    return !folder.isEmpty() && path.startsWith(folder) && path.size() > folder.size() &&
           path[folder.size()] == '/';
}

} // namespace

WatchFolder::WatchFolder(ThConvertInfoObjectList& jobs, QByteArray dataFolder, QObject* parent)
    : QObject(parent), m_jobs(jobs)
{
    if (!dataFolder.isEmpty()) {
        m_storePath = dataFolder + "watched.json";
        load();
        m_writer = std::make_unique<LatestFileWriter>(m_storePath);
    }
    m_clock.start();
    setTiming({});
    connect(&m_settle, &QTimer::timeout, this, &WatchFolder::tick);
    connect(&m_rescan, &QTimer::timeout, this, [this] {
        if (m_missing)
            start();
        else
            rescan();
    });
    connect(&m_walker, &FolderWalker::walked, this, &WatchFolder::walked);
    // What the program writes is never a new video, wherever the output folder lies.
    connect(&m_jobs, &ThConvertInfoObjectList::jobChanged, this, [this](int row) {
        const ThConvertInfoObject& job = *m_jobs.Items(row);
        if (!isWatching() || job.Status != csConverting || job.outputPath().isEmpty())
            return;
        Known& known = m_known[job.outputPath()];
        if (!known.output) {
            known.output = true;
            save();
        }
    });
}

WatchFolder::~WatchFolder() = default;

void WatchFolder::setTiming(Timing timing)
{
    m_timing = timing;
    m_settle.setInterval(std::max(50, m_timing.settleMs / 10));
}

void WatchFolder::watch(QByteArray folder, QByteArray outputFolder)
{
    folder = withoutTrailingSlash(folder);
    outputFolder = withoutTrailingSlash(outputFolder);
    if (folder == m_folder && outputFolder == m_outputFolder)
        return;
    m_folder = folder;
    m_outputFolder = outputFolder;
    m_candidates.clear();
    m_walker.abandon();
    delete m_events;
    m_events = nullptr;
    m_settle.stop();
    m_rescan.stop();
    if (m_folder.isEmpty()) {
        if (m_missing)
            emit missingChanged(m_missing = false);
        return;
    }
    // Another folder than the one remembered: what was remembered belongs to that one, and
    // what this one holds now is left alone.
    m_baselinePending = m_folder != m_storedFolder;
    if (m_baselinePending) {
        m_known.clear();
        m_storedFolder = m_folder;
        save();
    }
    start();
}

void WatchFolder::start()
{
    const std::optional<FileFacts> facts = pathFacts(m_folder);
    const bool missing = !facts || facts->kind != FileFacts::Kind::Folder;
    if (missing != m_missing)
        emit missingChanged(m_missing = missing);
    if (missing) {
        m_rescan.start(m_timing.rescanMs); // looked for again until it is back
        return;
    }
    delete m_events;
    m_events = new FolderEvents(this);
    const bool told = FolderEvents::isToldOf(m_folder) && m_events->watch(m_folder);
    connect(m_events, &FolderEvents::fileWritten, this, &WatchFolder::consider);
    connect(m_events, &FolderEvents::folderAdded, this, &WatchFolder::rescan);
    connect(m_events, &FolderEvents::overflowed, this, &WatchFolder::rescan);
    connect(m_events, &FolderEvents::rootGone, this, &WatchFolder::rootGone);
    if (told)
        m_rescan.stop();
    else
        m_rescan.start(m_timing.rescanMs);
    rescan();
}

void WatchFolder::rootGone()
{
    m_events->deleteLater();
    m_events = nullptr;
    m_candidates.clear();
    start();
}

void WatchFolder::rescan()
{
    WalkRequest request;
    request.paths = {m_folder};
    // An output folder inside the watched one is not looked into; the watched one itself may
    // be the output folder, whose outputs are remembered one by one instead.
    if (isInside(m_outputFolder, m_folder))
        request.outputFolder = m_outputFolder;
    m_walker.start(request);
}

void WatchFolder::walked(const FolderWalk& result)
{
    if (result.abandoned || m_folder.isEmpty())
        return;
    if (m_baselinePending) {
        for (const QByteArray& path : result.videos) {
            if (const std::optional<Known> known = knownOf(path))
                m_known.insert(path, *known);
        }
        m_baselinePending = false;
        save();
        emit baselineTaken(static_cast<int>(result.videos.size()));
        return;
    }
    for (const QByteArray& path : result.videos)
        consider(path);
    // What is gone from the folder need not be remembered.
    bool forgot = false;
    for (auto it = m_known.begin(); it != m_known.end();) {
        if (!pathExists(it.key())) {
            it = m_known.erase(it);
            forgot = true;
        } else {
            ++it;
        }
    }
    if (forgot)
        save();
}

bool WatchFolder::isOurs(const QByteArray& path) const
{
    return isInside(path, m_outputFolder) && isInside(m_outputFolder, m_folder);
}

void WatchFolder::consider(const QByteArray& path)
{
    if (!isInside(path, m_folder) || isOurs(path) || !isVideoFileName(path))
        return;
    const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
    if (isHiddenOrPartial(name) || path.mid(m_folder.size()).contains("/."))
        return;
    const std::optional<Known> now = knownOf(path);
    if (!now)
        return;
    const auto known = m_known.constFind(path);
    if (known != m_known.cend() && (known->output || *known == *now))
        return;
    const qint64 at = m_clock.elapsed();
    auto candidate = m_candidates.find(path);
    if (candidate == m_candidates.end())
        m_candidates.insert(path, {*now, at});
    else if (!(candidate->seen == *now))
        *candidate = {*now, at};
    if (!m_settle.isActive())
        m_settle.start();
}

void WatchFolder::tick()
{
    const qint64 at = m_clock.elapsed();
    QList<QByteArray> ready;
    for (auto it = m_candidates.begin(); it != m_candidates.end();) {
        const std::optional<Known> now = knownOf(it.key());
        if (!now) {
            it = m_candidates.erase(it);
            continue;
        }
        if (!(*now == it->seen)) {
            *it = {*now, at}; // still being written
        } else if (at - it->stillSinceMs >= m_timing.settleMs) {
            m_known.insert(it.key(), *now);
            ready << it.key();
            it = m_candidates.erase(it);
            continue;
        }
        ++it;
    }
    if (m_candidates.isEmpty())
        m_settle.stop();
    if (ready.isEmpty())
        return;
    save();
    // A file the user put in the list already stays there once.
    QSet<QPair<quint64, quint64>> listed;
    for (int i = 0; i < m_jobs.Count(); ++i) {
        if (const std::optional<FileFacts> facts = pathFacts(m_jobs.Items(i)->sourcePath()))
            listed.insert({quint64(facts->device), quint64(facts->inode)});
    }
    ready.removeIf([&](const QByteArray& path) {
        const Known& known = m_known[path];
        return listed.contains({known.device, known.inode});
    });
    std::sort(ready.begin(), ready.end(), [](const QByteArray& a, const QByteArray& b) {
        return naturalLess(toUtf16(a), toUtf16(b));
    });
    if (!ready.isEmpty())
        emit videosReady(ready);
}

std::optional<WatchFolder::Known> WatchFolder::knownOf(const QByteArray& path)
{
    const std::optional<FileFacts> facts = pathFacts(path);
    if (!facts || facts->kind != FileFacts::Kind::File)
        return std::nullopt;
    return Known{static_cast<quint64>(facts->device), static_cast<quint64>(facts->inode),
                 facts->size, facts->modifiedNs, false};
}

void WatchFolder::load()
{
    QFile file(QFile::decodeName(m_storePath));
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxStoreBytes)
        return;
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    if (root.value(QStringLiteral("version")).toInt() != Version)
        return;
    m_storedFolder = takeBytes(root, QStringLiteral("folder"));
    for (const QJsonValue& value : root.value(QStringLiteral("files")).toArray()) {
        const QJsonObject entry = value.toObject();
        Known known;
        known.device = entry.value(QStringLiteral("device")).toString().toULongLong();
        known.inode = entry.value(QStringLiteral("inode")).toString().toULongLong();
        known.size = entry.value(QStringLiteral("size")).toString().toLongLong();
        known.modifiedNs = entry.value(QStringLiteral("modified")).toString().toLongLong();
        known.output = entry.value(QStringLiteral("output")).toBool();
        m_known.insert(takeBytes(entry, QStringLiteral("path")), known);
    }
}

void WatchFolder::save()
{
    if (!m_writer)
        return;
    QJsonArray files;
    for (auto it = m_known.cbegin(); it != m_known.cend(); ++it) {
        QJsonObject entry;
        putBytes(entry, QStringLiteral("path"), it.key());
        entry.insert(QStringLiteral("device"), QString::number(it->device));
        entry.insert(QStringLiteral("inode"), QString::number(it->inode));
        entry.insert(QStringLiteral("size"), QString::number(it->size));
        entry.insert(QStringLiteral("modified"), QString::number(it->modifiedNs));
        if (it->output)
            entry.insert(QStringLiteral("output"), true);
        files.append(entry);
    }
    QJsonObject root;
    root.insert(QStringLiteral("version"), Version);
    putBytes(root, QStringLiteral("folder"), m_baselinePending ? QByteArray() : m_storedFolder);
    root.insert(QStringLiteral("files"), files);
    m_writer->write(QJsonDocument(root).toJson(QJsonDocument::Compact));
}

void WatchFolder::flush()
{
    if (m_writer)
        m_writer->flush();
}

} // namespace tovilo
