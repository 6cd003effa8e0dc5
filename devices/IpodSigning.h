#pragma once

#include <gpod/itdb.h>

#include <QByteArray>

namespace tovilo {

// Refuses a device whose database libgpod would write in a form the device does not show, or
// not at all, with a MediaError; called before anything is copied so that a refused device
// stays as it was. The generation says what the device needs; a trial write says what libgpod
// would give it (its choice also follows SysInfoExtended). Returns whether the device plays
// video (true when its model is unknown: it is handled as before, videos included).
bool checkIpodSigning(const Itdb_Device* device, const QByteArray& mountPoint);

// The path of one of the files in the device's iPod_Control/Device, or empty.
QByteArray ipodDeviceFile(const QByteArray& mountPoint, const char* name);

} // namespace tovilo
