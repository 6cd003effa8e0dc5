#include "devices/IpodSigning.h"

#include "devices/MediaLibraryFactory.h"
#include "devices/ScratchFolders.h"
#include "oscore/Fd.h"

#include <QString>
#include <QTemporaryDir>

#include <QFile>

#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <unistd.h>

namespace tovilo {

namespace {

// What signature a generation's database needs for the device to show its tracks.
enum class Signature
{
    None,
    Hash58,
    Hash72,
    Unsupported,
    Unknown
};

Signature signatureOf(Itdb_IpodGeneration generation)
{
    switch (generation) {
    case ITDB_IPOD_GENERATION_UNKNOWN:
        return Signature::Unknown;
    case ITDB_IPOD_GENERATION_FIRST:
    case ITDB_IPOD_GENERATION_SECOND:
    case ITDB_IPOD_GENERATION_THIRD:
    case ITDB_IPOD_GENERATION_FOURTH:
    case ITDB_IPOD_GENERATION_PHOTO:
    case ITDB_IPOD_GENERATION_MOBILE:
    case ITDB_IPOD_GENERATION_MINI_1:
    case ITDB_IPOD_GENERATION_MINI_2:
    case ITDB_IPOD_GENERATION_SHUFFLE_1:
    case ITDB_IPOD_GENERATION_SHUFFLE_2:
    case ITDB_IPOD_GENERATION_NANO_1:
    case ITDB_IPOD_GENERATION_NANO_2:
    case ITDB_IPOD_GENERATION_VIDEO_1:
    case ITDB_IPOD_GENERATION_VIDEO_2:
        return Signature::None;
    // Signed with a hash of the FireWire id.
    case ITDB_IPOD_GENERATION_CLASSIC_1:
    case ITDB_IPOD_GENERATION_CLASSIC_2:
    case ITDB_IPOD_GENERATION_CLASSIC_3:
    case ITDB_IPOD_GENERATION_NANO_3:
    case ITDB_IPOD_GENERATION_NANO_4:
        return Signature::Hash58;
    // Signed with the key libgpod keeps in HashInfo after iTunes has written the database once.
    case ITDB_IPOD_GENERATION_NANO_5:
        return Signature::Hash72;
    default:
        // The button-less shuffles, the nano 6G and the iOS devices, whose databases libgpod
        // cannot write on a mounted volume. (libgpod does not know the nano 7G: it is unknown.)
        return Signature::Unsupported;
    }
}

// The signature fields of a database file's header that carry a hash.
struct HeaderSignature
{
    bool hash58 = false;
    bool hash72 = false;
    bool any() const { return hash58 || hash72; }
};

HeaderSignature signatureInHeader(const char* path)
{
    HeaderSignature signature;
    const UniqueFd database = openFile(path, O_RDONLY);
    if (!database.isValid())
        return signature;
    QByteArray header(0xA0, '\0');
    const ssize_t got = pread(database.get(), header.data(), header.size(), 0);
    header.truncate(std::max<ssize_t>(got, 0));
    const auto anySet = [&](int from, int length) {
        const QByteArray field = header.mid(from, length);
        return std::any_of(field.begin(), field.end(), [](char byte) { return byte != 0; });
    };
    // The hashing scheme at 0x30 is 1 for hash58 and 2 for hash72.
    signature.hash58 = anySet(0x58, 20);
    signature.hash72 = anySet(0x72, 46);
    if (!signature.any() && anySet(0x30, 2))
        signature.hash58 = true;
    return signature;
}

bool databaseIsSigned(const QByteArray& mountPoint)
{
    if (gchar* compressed = itdb_get_itunescdb_path(mountPoint.constData())) {
        // Only signed devices use the compressed database.
        g_free(compressed);
        return true;
    }
    gchar* path = itdb_get_itunesdb_path(mountPoint.constData());
    if (!path)
        return false;
    const bool isSigned = signatureInHeader(path).any();
    g_free(path);
    return isSigned;
}

} // namespace

QByteArray ipodDeviceFile(const QByteArray& mountPoint, const char* name)
{
    QByteArray result;
    if (gchar* deviceDir = itdb_get_device_dir(mountPoint.constData())) {
        if (gchar* path = itdb_get_path(deviceDir, name)) {
            if (g_file_test(path, G_FILE_TEST_IS_REGULAR))
                result = path;
            g_free(path);
        }
        g_free(deviceDir);
    }
    return result;
}

namespace {

bool hasFirewireId(const Itdb_Device* device)
{
    gchar* id = itdb_device_get_sysinfo(device, "FirewireGuid");
    const bool present = id && *id;
    g_free(id);
    return present;
}

// Writes an empty database the way libgpod would write this device's, into a scratch copy of
// the device's description, since libgpod also writes artwork and SQLite files next to it.
// Returns the signature it got; nullopt when libgpod cannot write it at all.
std::optional<HeaderSignature> trialSignature(const QByteArray& mountPoint)
{
    const std::unique_ptr<QTemporaryDir> scratch = makeScratchFolder();
    if (!scratch)
        throw MediaError(MediaFailure::Failed, QStringLiteral("No scratch folder for the iPod."));
    const QByteArray root = QFile::encodeName(scratch->path());
    const QByteArray deviceDir = root + "/iPod_Control/Device";
    if (g_mkdir_with_parents(deviceDir.constData(), 0700) != 0 ||
        g_mkdir_with_parents((root + "/iPod_Control/iTunes").constData(), 0700) != 0)
        throw MediaError(MediaFailure::Failed, QStringLiteral("No scratch folder for the iPod."));
    for (const char* name : {"SysInfo", "SysInfoExtended", "HashInfo"}) {
        const QByteArray source = ipodDeviceFile(mountPoint, name);
        gchar* contents = nullptr;
        gsize length = 0;
        if (source.isEmpty() ||
            !g_file_get_contents(source.constData(), &contents, &length, nullptr))
            continue;
        const QByteArray target = deviceDir + '/' + name;
        const bool copied =
            g_file_set_contents(target.constData(), contents, static_cast<gssize>(length), nullptr);
        g_free(contents);
        if (!copied)
            throw MediaError(MediaFailure::Failed,
                             QStringLiteral("Cannot copy the iPod's description."));
    }

    std::unique_ptr<Itdb_iTunesDB, void (*)(Itdb_iTunesDB*)> db(itdb_new(), itdb_free);
    itdb_set_mountpoint(db.get(), root.constData());
    Itdb_Playlist* library = itdb_playlist_new("iPod", FALSE);
    itdb_playlist_set_mpl(library);
    itdb_playlist_add(db.get(), library, -1);
    const QByteArray database = root + "/iPod_Control/iTunes/iTunesDB";
    GError* error = nullptr;
    if (!itdb_write_file(db.get(), database.constData(), &error)) {
        g_clear_error(&error);
        return std::nullopt;
    }
    return signatureInHeader(database.constData());
}

} // namespace

bool checkIpodSigning(const Itdb_Device* info, const QByteArray& mountPoint)
{
    const Itdb_IpodInfo* model = itdb_device_get_ipod_info(info);
    const Itdb_IpodGeneration generation =
        model ? model->ipod_generation : ITDB_IPOD_GENERATION_UNKNOWN;
    const QString name = QString::fromUtf8(itdb_info_get_ipod_generation_string(generation));
    const Signature needed = signatureOf(generation);
    const auto refuse = [&](MediaFailure failure, const QString& why) {
        throw MediaError(failure, QStringLiteral("%1 (%2)").arg(why, name));
    };
    if (needed == Signature::Unsupported)
        refuse(MediaFailure::UnsupportedModel, QStringLiteral("libgpod cannot write this iPod"));
    if (needed == Signature::Hash58 && !hasFirewireId(info))
        refuse(MediaFailure::MissingDeviceId, QStringLiteral("the iPod's FireWire id is unknown"));
    if (needed == Signature::Hash72 &&
        (ipodDeviceFile(mountPoint, "HashInfo").isEmpty() || !hasFirewireId(info)))
        refuse(MediaFailure::MissingHashInfo, QStringLiteral("the iPod has no HashInfo"));

    const std::optional<HeaderSignature> trial = trialSignature(mountPoint);
    switch (needed) {
    case Signature::Hash58:
        if (!trial || !trial->hash58)
            refuse(MediaFailure::MissingDeviceId,
                   QStringLiteral("the iPod's description does not let libgpod sign for it"));
        break;
    case Signature::Hash72:
        if (!trial || !trial->hash72)
            refuse(MediaFailure::MissingHashInfo,
                   QStringLiteral("the iPod's HashInfo does not let libgpod sign for it"));
        break;
    case Signature::Unknown:
        // Written unsigned over a signed database, the device would show no tracks at all.
        if (!trial || (!trial->any() && databaseIsSigned(mountPoint)))
            refuse(MediaFailure::UnknownModel,
                   QStringLiteral("the iPod's model is unknown and its database is signed"));
        // Nothing is known about its video: it is handled as before, videos included.
        return true;
    case Signature::None:
    case Signature::Unsupported:
        if (!trial)
            refuse(MediaFailure::UnsupportedModel,
                   QStringLiteral("libgpod cannot write this iPod"));
        break;
    }
    return itdb_device_supports_video(info) != FALSE;
}

} // namespace tovilo
