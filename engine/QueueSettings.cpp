#include "engine/QueueSettings.h"

#include "engine/UserTexts.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/PathText.h"
#include "queue/ThConvertInfo.h"

namespace tovilo {

namespace {
const QByteArray SettingsSection = "CONF";
} // namespace

DataFolders prepareDataFolders(QByteArray documents)
{
    if (documents.isEmpty())
        documents = "/";
    documents = includeTrailingDelimiter(documents);
    const QByteArray dataFolder = documents + "Tovilo";
    if (!pathExists(dataFolder))
        makeDirectory(dataFolder);
    return {documents, dataFolder + PathDelimiter};
}

QString loadQueueSettings(ThConvertInfoObjectList& jobs, const QByteArray& dataFolder)
{
    QString notice;
    const IniFile ini(dataFolder + "config.ini");
    jobs.Settings.Quality =
        static_cast<std::uint8_t>(ini.readInteger(SettingsSection, "QUALITY", 1) & 0xFF);
    jobs.Settings.Ratio =
        static_cast<std::uint8_t>(ini.readInteger(SettingsSection, "RAITO", 0) & 0xFF);
    // A folder edited by hand without its "/" would put the outputs beside it, and an empty or
    // relative one into the working folder or above it.
    // One cut short names a folder part-way along the path: not used.
    bool tooLong = false;
    const QByteArray saveDir = ini.readString(SettingsSection, "SAVEDIR", dataFolder, &tooLong);
    jobs.Settings.SaveDir =
        saveDir.startsWith('/') && !tooLong ? includeTrailingDelimiter(saveDir) : dataFolder;
    if (tooLong)
        notice = saveDirTooLongText(dataFolder);
    jobs.Settings.OpenDir = ini.readBool(SettingsSection, "OPENDIR", true);
    // Anything but 1 (missing, from an earlier version, or edited by hand) is MPEG-4.
    jobs.Settings.Codec = ini.readInteger(SettingsSection, "CODEC", 0) == 1 ? 1 : 0;
    jobs.Settings.Subtitle = ini.readInteger(SettingsSection, "SUBTITLE", 0) == 1 ? 1 : 0;
    bool watchTooLong = false;
    const QByteArray watchDir = ini.readString(SettingsSection, "WATCHDIR", {}, &watchTooLong);
    jobs.Settings.WatchDir = watchDir.startsWith('/') && !watchTooLong ? watchDir : QByteArray();
    const int watchMode = ini.readInteger(SettingsSection, "WATCHMODE", 0);
    jobs.Settings.WatchMode = watchMode >= 0 && watchMode <= 4 ? std::uint8_t(watchMode) : 0;
    return notice;
}

QString unsavableSettingsText(const ConversionSettings& settings)
{
    if (settings.SaveDir.size() > IniFile::MaxValueLength)
        return saveDirUnsavableText();
    if (settings.WatchDir.size() > IniFile::MaxValueLength)
        return watchDirUnsavableText();
    return {};
}

void saveQueueSettings(const ThConvertInfoObjectList& jobs, const QByteArray& dataFolder)
{
    // Refused whole: a file holding the new quality beside the old folder is no one's choice.
    const QString unsavable = unsavableSettingsText(jobs.Settings);
    if (!unsavable.isEmpty())
        throw IniWriteError(unsavable);
    IniFile ini(dataFolder + "config.ini");
    ini.writeInteger(SettingsSection, "QUALITY", jobs.Settings.Quality);
    ini.writeInteger(SettingsSection, "RAITO", jobs.Settings.Ratio);
    ini.writeString(SettingsSection, "SAVEDIR", jobs.Settings.SaveDir);
    ini.writeBool(SettingsSection, "OPENDIR", jobs.Settings.OpenDir);
    ini.writeInteger(SettingsSection, "CODEC", jobs.Settings.Codec);
    ini.writeInteger(SettingsSection, "SUBTITLE", jobs.Settings.Subtitle);
    ini.writeString(SettingsSection, "WATCHDIR", jobs.Settings.WatchDir);
    ini.writeInteger(SettingsSection, "WATCHMODE", jobs.Settings.WatchMode);
}

} // namespace tovilo
