#pragma once

// The words the user reads, in one place: a job's status, why its conversion failed, why the
// hand-over did not happen, how a removal went, and what the windows and dialogs say.
#include "devices/DeviceRemoval.h"
#include "devices/MediaLibraryFactory.h"
#include "queue/ThConvertInfo.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// The Japanese text of the job's status; empty for a value outside the enumeration.
QString StatusText(const ThConvertInfoObject& job);

namespace tovilo {

// What a failed row tells the user about a kept line: a Japanese reason for a known kind,
// the encoder's own words otherwise, and a general text when there is no line.
QString failureReasonText(const QByteArray& errorLine);

// What a converted row tells about a notice line: a Japanese text for a known kind, the
// encoder's own words otherwise; nothing for a line that is no notice.
QString noticeText(const QByteArray& noticeLine);

// The situation line's words for why files were not handed over.
QString mediaFailureText(MediaFailure failure);

// The situation line's words for an output folder too long to be kept in the settings file;
// fallback is the folder used instead.
QString saveDirTooLongText(const QByteArray& fallback);
// Why a folder picked in the settings cannot be kept.
QString watchDirUnsavableText();
QString saveDirUnsavableText();

// The situation line's words for how a removal went (nothing: it went well).
QString removalText(std::optional<RemovalFailure> failure);
QString removingDeviceText();

// The situation line while the hand-over's file `number` of `count` is on its way (with how
// many are left off for want of room), before the first while it looks for room, and when the
// user stopped it.
QString handOverProgressText(int number, int count, int notFitting = 0);
QString checkingRoomText();
QString handOverStoppedText();
// How many converted files the device had no room for, on the situation line or in the box.
QString notFittingText(int count);
// What a row says of its latest hand-over: already on the device, or no room for it.
QString handOverNoteText(const ThConvertInfoObject& job);

// The time left for the running file, after its progress: " 残り約3分"; whole minutes from a
// minute on, hours and minutes from an hour on, under a minute seconds in steps of five.
QString remainingText(double seconds);
// After the progress while the queue is paused.
QString pausedText();
// Said once at start-up when the kept queue could not be read.
QString queueNotRestoredText();
// Said when the queue cannot be written (errno), once until it can again.
QString queueNotSavedText(int error);
// On a waiting row and at start-up: a file an interrupted run of the job may have left, kept
// because it could not be told for sure from a file of the user's.
QString leftBehindText(const QString& path);

// The main window's boxes and words.
struct WindowTexts
{
    static QString fileNameColumn();
    static QString statusColumn();
    static QString noRowSelected();
    static QString confirmRemoval();
    static QString busyClose();
    static QString finishedJobsRemoved();
    static QString emptyQueue();
    static QString confirmStop();
    static QString confirmStopHandOver();
    static QString partialNotDeleted(const QByteArray& path);
    static QString askSetUpDevice();
    static QString handOverDone();
    // The same, with how many files were left off for want of room.
    static QString handOverDone(int notFitting);
    static QString removeDeviceAction();
};

// ---- Progress and the end of a queue ----

// "HH時間MM分SS秒", each number with at least two digits.
QString formatDuration(int seconds);
// The progress line once the source is converted up to `seconds`.
QString convertedUpToText(int seconds);
// Said when a queue has ended, in a box and in the desktop notification.
QString conversionDoneText();
// The notification's count of the queue's outcome.
QString queueOutcomeText(int converted, int failed);

// ---- Message boxes, dialogs and the open dialog ----

// The captions and buttons of the message boxes, as the user's system would show them.
QString informationCaption();
QString confirmationCaption();
QString yesButtonText();
QString noButtonText();

// The open dialog's only filter, "動画ファイル" with `patterns`, separated by spaces.
QString videoFilesFilterText(const QStringList& patterns);
// What a drop of anything but a video is told, once per drop.
QString unsupportedFileText();

// The chapter selection dialog.
QString chapterDialogTitle();
QString insertDiscText();
QString chooseChaptersText();

// The settings dialog; the choices in the order of their stored values.
QString settingsTitle();
QString chooseSaveFolderText();
QStringList aspectRatioChoices();
QStringList codecChoices();
QStringList subtitleChoices();
QString chooseWatchFolderText();
QStringList watchModeChoices();

// Folders added to the list, and the watched folder.
struct FolderWalk;
QString walkingFoldersText();
QString foldersAddedText(const FolderWalk& walk);
QString addFolderAction();
QString chooseFolderToAddText();
QString addFileAction();
QString removeSelectedAction();
QString watchBaselineText(int videos);
QString watchFolderMissingText();
QString watchedAddedText(int videos);

} // namespace tovilo
