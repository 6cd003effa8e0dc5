#pragma once

#include <QByteArray>
#include <QString>

class ThConvertInfoObjectList;

namespace tovilo {
struct ConversionSettings;
}

// The settings file "config.ini" in the data folder: the queue's quality, ratio, output folder
// and open-folder option, in the section "CONF".
namespace tovilo {

struct DataFolders
{
    QByteArray documents; // ends in "/"
    QByteArray data;      // documents + "Tovilo/"
};

// The data folder under the user's Documents folder ("/" when that is unknown), created one
// level deep when missing; a failure to create it shows when the settings are saved.
DataFolders prepareDataFolders(QByteArray documents);

// Missing values take their defaults: quality 1, ratio 0, the data folder, open when done,
// MPEG-4. Returns what the user is to be told about a value that could not be used, else empty.
QString loadQueueSettings(ThConvertInfoObjectList& jobs, const QByteArray& dataFolder);
// Why these settings cannot be kept in the file (an output folder longer than a value may
// be), else empty.
QString unsavableSettingsText(const ConversionSettings& settings);
// Throws IniWriteError, before anything is written when the settings cannot be kept.
void saveQueueSettings(const ThConvertInfoObjectList& jobs, const QByteArray& dataFolder);

} // namespace tovilo
