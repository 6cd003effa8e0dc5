#include "encoder/output/OutputFile.h"

#include "oscore/OwnFile.h"
#include "protocol/PartialOutput.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tovilo {

namespace {

Failure writeFailure(int error)
{
    if (error == ENOSPC || error == EDQUOT)
        return {FailureKind::DiskFull, std::strerror(error)};
    return {FailureKind::OutputUnwritable, std::strerror(error)};
}

Failure replaced()
{
    return {FailureKind::OutputUnwritable, "the output was replaced during the conversion"};
}

} // namespace

OutputFile::OutputFile(const std::string& path) : m_path(path), m_folderPath(folderOf(path))
{
    const size_t slash = path.rfind('/');
    m_name = slash == std::string::npos ? path : path.substr(slash + 1);
    m_folder = openFile(m_folderPath.c_str(), O_PATH | O_DIRECTORY);
    m_folderError = m_folder.isValid() ? 0 : errno;
    m_before = atName();
}

std::optional<FileInfo> OutputFile::atName() const
{
    if (!m_folder.isValid() || m_name.empty())
        return std::nullopt;
    return linkInfoAt(m_folder.get(), m_name.c_str());
}

bool OutputFile::isLink() const
{
    return m_before && m_before->isLink();
}

std::optional<Failure> OutputFile::hold(bool overwrite)
{
    if (!m_folder.isValid()) {
        const int error = m_folderError;
        if (error == ENOENT || error == ENOTDIR)
            return Failure{FailureKind::OutputFolder, "the output folder does not exist"};
        return Failure{FailureKind::OutputUnwritable, std::strerror(error)};
    }
    if (m_name.empty() || m_name == "." || m_name == "..")
        return Failure{FailureKind::OutputUnwritable, std::strerror(EISDIR)};
    if (!m_before) {
        m_held = openFileAt(m_folder.get(), m_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW,
                            0666);
        if (m_held.isValid())
            return createPartial();
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return Failure{FailureKind::OutputFolder, "the output folder does not exist"};
        if (error == EEXIST || error == ELOOP)
            return Failure{FailureKind::OutputUnwritable, "the output name was taken meanwhile"};
        return writeFailure(error);
    }
    if (m_before->isDirectory())
        return Failure{FailureKind::OutputUnwritable, std::strerror(EISDIR)};
    if (!m_before->isRegular())
        return Failure{FailureKind::OutputUnwritable, "the output is not a regular file"};
    if (m_before->size != 0 && !overwrite)
        return Failure{FailureKind::OutputUnwritable, "the output already exists"};
    // Non-blocking: a pipe put at the name meanwhile must not hold us up.
    m_held = openFileAt(m_folder.get(), m_name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK);
    if (!m_held.isValid()) {
        const int error = errno;
        return Failure{FailureKind::OutputUnwritable,
                       error == ELOOP ? "the output is a symbolic link" : std::strerror(error)};
    }
    // Only the file seen at the start and with no other name: not one another user put at the
    // name, nor a hard link to a file elsewhere.
    const std::optional<FileInfo> now = openFileInfo(m_held.get());
    if (!now || !now->isRegular() || !now->sameFile(*m_before) || now->links != 1) {
        m_held.reset();
        return Failure{FailureKind::OutputUnwritable,
                       "the output was replaced, or has another name too"};
    }
    return createPartial();
}

std::optional<Failure> OutputFile::createPartial()
{
    const std::optional<FileInfo> held = openFileInfo(m_held.get());
    if (!held)
        return writeFailure(errno);
    const std::string name = partialOutputName(held->inode);
    // It is to take the held file's place: no wider permissions than that one's, but ours to
    // write, as ffmpeg opens it again through /proc.
    const auto create = [&] {
        return openFileAt(m_folder.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW,
                          (held->mode & 0777) | S_IRUSR | S_IWUSR);
    };
    m_partial = create();
    if (!m_partial.isValid() && errno == EEXIST) {
        // Only a run of ours killed outright leaves a file under this name.
        const OwnRemoval removal =
            tovilo::removeIfOurs(m_folder.get(), name.c_str(), [](const struct stat& st) {
                return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_nlink == 1;
            });
        if (removal == OwnRemoval::NotOurs)
            return Failure{FailureKind::OutputUnwritable,
                           name + ", the name the conversion is written under, is taken"};
        if (removal == OwnRemoval::Failed)
            return writeFailure(errno);
        m_partial = create();
    }
    if (!m_partial.isValid())
        return writeFailure(errno);
    m_partialName = name;
    return std::nullopt;
}

bool OutputFile::stillNamed() const
{
    if (!m_held.isValid())
        return false;
    // The path the program keeps must lead to what we wrote, its folder as much as its name.
    const std::optional<FileInfo> folder = fileInfo(m_folderPath.c_str());
    const std::optional<FileInfo> opened = openFileInfo(m_folder.get());
    if (!folder || !opened || !folder->sameFile(*opened))
        return false;
    const std::optional<FileInfo> now = atName();
    const std::optional<FileInfo> held = openFileInfo(m_held.get());
    return now && held && now->sameFile(*held);
}

std::optional<Failure> OutputFile::putInPlace()
{
    // On the disk before a name leads to it: after a power cut the output's name holds the held
    // file or the whole conversion, never a file cut short.
    if (!syncToDisk(m_partial.get()))
        return writeFailure(errno);
    // Both names must still lead to our files: what is put in place is what was checked.
    const std::optional<FileInfo> held = openFileInfo(m_held.get());
    const std::optional<FileInfo> written = openFileInfo(m_partial.get());
    const std::optional<FileInfo> atPartial = linkInfoAt(m_folder.get(), m_partialName.c_str());
    if (!held || !written || !atPartial || !atPartial->sameFile(*written) || !stillNamed())
        return replaced();
    switch (replaceIfSame(m_folder.get(), m_partialName.c_str(), m_name.c_str(), held->device,
                          held->inode)) {
    case Replacement::Replaced:
        break;
    case Replacement::NotOurs:
        return replaced();
    case Replacement::Failed:
        return writeFailure(errno);
    }
    m_partialName.clear();
    if (syncFolder(m_folder.get(), m_partial.get()))
        return std::nullopt;
    // A name that may not outlast a power cut is no success; the conversion goes with it.
    const int error = errno;
    removeIfSame(m_folder.get(), m_name.c_str(), written->device, written->inode);
    return writeFailure(error);
}

OutputFile::~OutputFile()
{
    if (m_partialName.empty())
        return;
    if (const std::optional<FileInfo> partial = openFileInfo(m_partial.get()))
        removeIfSame(m_folder.get(), m_partialName.c_str(), partial->device, partial->inode);
}

void OutputFile::removeIfOurs() const
{
    if (!m_folder.isValid() || m_name.empty())
        return;
    const std::optional<FileInfo> held =
        m_held.isValid() ? openFileInfo(m_held.get()) : std::nullopt;
    tovilo::removeIfOurs(m_folder.get(), m_name.c_str(), [&](const struct stat& st) {
        const FileInfo now = FileInfo::of(st);
        if (!now.isRegular())
            return false;
        if (held && !now.sameFile(*held))
            return false; // the name no longer leads to the file the run wrote
        const bool untouched = m_before && m_before->isRegular() && m_before->size > 0 &&
                               now.unchangedSince(*m_before);
        return !untouched;
    });
}

} // namespace tovilo
