#pragma once

// Fakes of the services the windows get, for offscreen tests: prompts that answer from a
// script and record what they showed, a shell that records instead of acting, drives that a
// test lays out, and those of the engine.
#include "FakeEngineServices.h"
#include "FakeMountTable.h"
#include "devices/OpticalDrives.h"
#include "ui/Services.h"

#include <QList>
#include <QSet>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace tovilo::test {

class FakePrompt : public PromptService
{
public:
    QStringList informations;
    QStringList questions;
    QList<bool> answers; // consumed in order; when empty, defaultAnswer
    bool defaultAnswer = true;
    // Runs while a box is "open", as a user would act while the box is shown.
    std::function<void(const QString&)> onInformation;

    void information(QWidget*, const QString& text) override
    {
        informations.append(text);
        if (onInformation)
            onInformation(text);
    }
    bool confirm(QWidget*, const QString& text) override
    {
        questions.append(text);
        return answers.isEmpty() ? defaultAnswer : answers.takeFirst();
    }
    // Recorded with informations, as "text [action]"; answered with pressAction.
    bool pressAction = false;
    bool informationWithAction(QWidget*, const QString& text, const QString& action) override
    {
        informations.append(text + QStringLiteral(" [") + action + QLatin1Char(']'));
        if (onInformation)
            onInformation(text);
        return pressAction;
    }
};

class FakeShell : public ShellService
{
public:
    QByteArray documents;
    QStringList nextVideoFiles; // what the open dialog answers; empty: cancelled
    std::optional<QString> nextFolder;
    QStringList openedFolders;
    QStringList chooserFolders; // the initial folder of every open dialog
    int activations = 0;

    QByteArray documentsFolder() override { return documents; }
    QStringList chooseVideoFiles(QWidget*, const QString& initialFolder) override
    {
        chooserFolders.append(initialFolder);
        return nextVideoFiles;
    }
    std::optional<QString> browseForFolder(QWidget*, const QString&) override { return nextFolder; }
    void openFolder(const QString& path) override { openedFolders.append(path); }
    void restoreAndActivate(QWidget*) override { ++activations; }
};

// No drives unless a test adds them.
class FakeDrives : public DriveService
{
public:
    QList<OpticalDrive> drives;
    QSet<QByteArray> ready;
    // Its changes are signalled by the test.
    FakeMountTable mounts;

    FakeDrives() = default;
    // New drives on the same machine: a watcher of the mount table keeps watching.
    FakeDrives& operator=(const FakeDrives& other)
    {
        drives = other.drives;
        ready = other.ready;
        return *this;
    }

    QList<OpticalDrive> opticalDrives() override { return drives; }
    bool isReady(const QByteArray& root) override { return ready.contains(root); }
    std::unique_ptr<MountChangeSource> watchMounts() override { return mounts.watch(); }

    // Adds a drive whose root is `root` (ending in "/"); ready when asked.
    void add(const QByteArray& root, const QByteArray& label, bool isReady)
    {
        OpticalDrive drive;
        drive.root = root;
        drive.label = label;
        drive.device = "/dev/sr" + QByteArray::number(drives.size());
        drive.mounted = isReady;
        drives.append(drive);
        if (isReady)
            ready.insert(root);
    }
};

// Removes devices as a test tells it to, from the event loop as the real one does.
class FakeDeviceRemoval : public DeviceRemovalService
{
public:
    bool available = true;
    std::optional<RemovalFailure> outcome;
    QList<QByteArray> removed; // the mount points asked for

    bool isAvailable() const override { return available; }
    void removeDevice(const QByteArray& mountPoint, QObject* context, Done done) override
    {
        removed.append(mountPoint);
        QMetaObject::invokeMethod(
            context, [done, failure = outcome] { done(failure); }, Qt::QueuedConnection);
    }
};

} // namespace tovilo::test
