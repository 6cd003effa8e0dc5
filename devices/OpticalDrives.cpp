#include "devices/OpticalDrives.h"

#include "devices/MountInfo.h"
#include "devices/VolumeLabels.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "platform/PathText.h"

#include <QFile>
#include <QSocketNotifier>

#include <algorithm>
#include <dirent.h>
#include <memory>
#include <sys/statvfs.h>
#include <unistd.h>

namespace tovilo {

std::unique_ptr<MountChangeSource> DriveService::watchMounts()
{
    return nullptr;
}

namespace {

using DirHandle = std::unique_ptr<DIR, int (*)(DIR*)>;

DirHandle openDir(const QByteArray& path)
{
    return DirHandle(opendir(path.constData()), closedir);
}

// Names of a folder's entries without "." and "..", in directory order.
QList<QByteArray> entryNames(const QByteArray& folder)
{
    QList<QByteArray> names;
    const DirHandle dir = openDir(folder);
    if (!dir)
        return names;
    while (const dirent* entry = readdir(dir.get())) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.append(name);
    }
    return names;
}

QByteArray readSmallFile(const QByteArray& path)
{
    QFile file(QFile::decodeName(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(4096).trimmed();
}

// The N of "srN", or -1 for any other name.
int opticalDriveNumber(const QByteArray& name)
{
    if (name.size() < 3 || !name.startsWith("sr"))
        return -1;
    const QByteArray digits = name.mid(2);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    bool ok = false;
    const int number = digits.toInt(&ok);
    return ok ? number : -1;
}

// Labels come from blkid as UTF-8; the program shows byte strings of its own code page.
QByteArray labelInSystemCodePage(const QByteArray& utf8)
{
    if (systemCodePage() == CodePage::Utf8)
        return utf8;
    return fromUtf16(QString::fromUtf8(utf8));
}

void walkChapterFolder(const QByteArray& folder,
                       const std::function<void(const QByteArray&, const QByteArray&)>& found,
                       int depthLeft)
{
    const DirHandle dir = openDir(folder);
    if (!dir)
        return;
    while (const dirent* entry = readdir(dir.get())) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray path = folder + name;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            const std::optional<FileFacts> facts = pathFacts(path, Links::Keep);
            if (!facts)
                continue;
            type = facts->kind == FileFacts::Kind::Folder ? DT_DIR
                   : facts->kind == FileFacts::Kind::Link ? DT_LNK
                   : facts->kind == FileFacts::Kind::File ? DT_REG
                                                          : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            if (depthLeft > 0)
                walkChapterFolder(path + PathDelimiter, found, depthLeft - 1);
            continue;
        }
        const QByteArray extension = extractFileExt(name);
        // VIDEO_TS.VOB is the disc's menu; a DVD-VR disc keeps all its video in VR_MOVIE.VRO.
        const bool chapter =
            (extension == ".VOB" && name != "VIDEO_TS.VOB") || name == "VR_MOVIE.VRO";
        if (!chapter)
            continue;
        if (type == DT_LNK) {
            // A link counts when it leads to a file; one to a folder is never entered.
            const std::optional<FileFacts> target = pathFacts(path);
            if (!target || target->kind != FileFacts::Kind::File)
                continue;
        } else if (type != DT_REG) {
            continue;
        }
        found(name.chopped(extension.size()), path);
    }
}

} // namespace

LinuxDriveService::LinuxDriveService(QString sysRoot, QString procRoot, QString devRoot)
    : m_sysRoot(QFile::encodeName(sysRoot)), m_procRoot(QFile::encodeName(procRoot)),
      m_devRoot(QFile::encodeName(devRoot))
{
}

QList<OpticalDrive> LinuxDriveService::opticalDrives()
{
    const QByteArray blockFolder = m_sysRoot + "/block/";
    QList<std::pair<int, QByteArray>> numbered;
    for (const QByteArray& name : entryNames(blockFolder)) {
        const int number = opticalDriveNumber(name);
        // SCSI peripheral type 5 is a CD/DVD device.
        if (number >= 0 && readSmallFile(blockFolder + name + "/device/type") == "5")
            numbered.append({number, name});
    }
    std::sort(numbered.begin(), numbered.end());

    const QList<MountEntry> mounts =
        readMountInfo(QFile::decodeName(m_procRoot + "/self/mountinfo"));
    QList<OpticalDrive> drives;
    for (const auto& [number, name] : numbered) {
        OpticalDrive drive;
        drive.device = m_devRoot + "/" + name;
        drive.label = labelInSystemCodePage(udevLabel(m_devRoot, name));
        const QByteArray majorMinor = readSmallFile(blockFolder + name + "/dev");
        // The device number is the sure match; the source name covers a missing dev file.
        // Only a mount of the whole file system is the disc's root.
        const auto mount = std::find_if(mounts.begin(), mounts.end(), [&](const MountEntry& m) {
            return m.root == "/" && ((!majorMinor.isEmpty() && m.majorMinor == majorMinor) ||
                                     m.source == drive.device);
        });
        if (mount != mounts.end()) {
            drive.root = includeTrailingDelimiter(mount->mountPoint);
            drive.mounted = true;
        } else {
            drive.root = drive.device;
        }
        drives.append(drive);
    }
    return drives;
}

bool LinuxDriveService::isReady(const QByteArray& root)
{
    // An unmounted drive's root is its device node, which statvfs would happily answer.
    const QList<OpticalDrive> drives = opticalDrives();
    const bool mountedRoot = std::any_of(drives.begin(), drives.end(), [&](const OpticalDrive& d) {
        return d.mounted && d.root == root;
    });
    if (!mountedRoot)
        return false;
    struct statvfs info;
    return statvfs(root.constData(), &info) == 0 && info.f_blocks > 0;
}

std::unique_ptr<MountChangeSource> LinuxDriveService::watchMounts()
{
    auto source = std::make_unique<MountInfoChanges>(m_procRoot + "/self/mountinfo");
    if (source->descriptor() < 0)
        return nullptr;
    return source;
}

OpticalMountWatcher::OpticalMountWatcher(DriveService& drives, std::function<void()> changed,
                                         QObject* parent)
    : QObject(parent), m_drives(drives), m_changed(std::move(changed))
{
}

OpticalMountWatcher::~OpticalMountWatcher()
{
    stop();
}

void OpticalMountWatcher::start()
{
    if (m_notifier != nullptr)
        return;
    m_source = m_drives.watchMounts();
    if (!m_source)
        return;
    m_seen = m_drives.opticalDrives();
    m_notifier = new QSocketNotifier(m_source->descriptor(), m_source->readiness(), this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { signalled(); });
}

void OpticalMountWatcher::stop()
{
    if (m_notifier == nullptr)
        return;
    // The notifier may be the one whose signal is being delivered right now.
    m_notifier->setEnabled(false);
    m_notifier->deleteLater();
    m_notifier = nullptr;
    m_source.reset();
}

void OpticalMountWatcher::signalled()
{
    // Quiet until the comparison has run: `changed` may open a modal message, and a second
    // change meanwhile is still pending in the kernel (or the pipe) when re-enabled.
    m_notifier->setEnabled(false);
    m_source->acknowledge();
    QMetaObject::invokeMethod(
        this, [this] { compare(); }, Qt::QueuedConnection);
}

void OpticalMountWatcher::compare()
{
    if (m_notifier == nullptr)
        return; // stopped meanwhile
    QList<OpticalDrive> drives = m_drives.opticalDrives();
    if (drives != m_seen) {
        m_seen = std::move(drives);
        m_changed();
    }
    if (m_notifier != nullptr)
        m_notifier->setEnabled(true);
}

void findChapterFiles(const QByteArray& folder,
                      const std::function<void(const QByteArray&, const QByteArray&)>& found,
                      int maxDepth)
{
    if (maxDepth >= 0)
        walkChapterFolder(folder, found, maxDepth);
}

} // namespace tovilo
