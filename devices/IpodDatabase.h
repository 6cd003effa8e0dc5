#pragma once

#include "devices/IpodVolumes.h"
#include "devices/MediaLibraryFactory.h"

#include <QByteArray>

#include <memory>

namespace tovilo {

// True when the device mounted at `mountPoint` holds a database file.
bool hasIpodDatabase(const QByteArray& mountPoint);

// The database of the device mounted at `mountPoint`, read and checked, open for adding files;
// written when the application is released. Throws MediaError as
// MediaLibraryFactory::createApplication() describes.
std::unique_ptr<MediaApplication> openIpodDatabase(const QByteArray& mountPoint);

// Gives the device on `device` an empty database for the model its SysInfo names, named after
// its label. Throws MediaError when the model is unknown or cannot be written, or the database
// cannot be made.
void setUpIpodDatabase(const IpodVolume& device);

} // namespace tovilo
