#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

namespace tovilo {

// Names in the order people number them: runs of digits (full-width ones too) compare as
// numbers, so "第2話" comes before "第10話" and "ep9" before "ep10"; the rest without regard to
// letter case.
bool naturalLess(const QString& a, const QString& b);

// Names no video of the user's has: hidden, or a download or copy still under way.
bool isHiddenOrPartial(const QByteArray& name);

// What a walk over dropped files and folders found.
struct FolderWalk
{
    QList<QByteArray> videos; // to add: a folder's own videos first, then each sub-folder
    int unsupported = 0;      // other files (hidden ones and partial downloads not counted)
    int alreadyListed = 0;    // videos that are in the list already, by device and inode
    int unreadableFolders = 0;
    int foldersGiven = 0; // none: only files were named
    bool abandoned = false;
};

struct WalkRequest
{
    QList<QByteArray> paths;  // files and folders, in the order given
    QList<QByteArray> listed; // the list's sources: a video among them is not added again
    QByteArray outputFolder;  // never entered: what the program writes is no source
};

// Walks the paths: folders with their sub-folders, links followed but never in a loop, nor
// into another user's folder closed to others. Stops early, with what it has, once `abandon`
// is set. Runs on any thread.
FolderWalk walkFolders(const WalkRequest& request, const std::atomic<bool>& abandon);

// Runs walks off the window's thread and hands each result back on it. A walk stuck on a
// folder that does not answer (a lost network share) is abandoned by the next one or by the
// end of this object; its thread finishes on its own, and its result goes nowhere.
class FolderWalker : public QObject
{
    Q_OBJECT

public:
    explicit FolderWalker(QObject* parent = nullptr);
    ~FolderWalker() override;

    void start(WalkRequest request);
    void abandon();
    bool isWalking() const { return m_current != nullptr; }

signals:
    void walked(const tovilo::FolderWalk& result);

private:
    struct Shared;
    std::shared_ptr<Shared> m_current;
};

} // namespace tovilo
