#include "devices/VolumeLabels.h"

#include "platform/HexDigit.h"
#include "platform/PathText.h"

#include <QList>

#include <algorithm>
#include <dirent.h>
#include <memory>
#include <unistd.h>

namespace tovilo {

QByteArray decodeUdevEscapes(const QByteArray& name)
{
    QByteArray decoded;
    decoded.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x') {
            const int high = hexDigitValue(name[i + 2]);
            const int low = hexDigitValue(name[i + 3]);
            if (high >= 0 && low >= 0) {
                decoded.append(char(high * 16 + low));
                i += 3;
                continue;
            }
        }
        decoded.append(name[i]);
    }
    return decoded;
}

QByteArray udevLabel(const QByteArray& devRoot, const QByteArray& deviceName)
{
    const QByteArray folder = devRoot + "/disk/by-label/";
    QList<QByteArray> names;
    if (const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.constData()), closedir); dir) {
        while (const dirent* entry = readdir(dir.get())) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..")
                names.append(name);
        }
    }
    // The same answer whatever order the directory lists its links in.
    std::sort(names.begin(), names.end());
    for (const QByteArray& name : std::as_const(names)) {
        char target[4096];
        const ssize_t length = readlink((folder + name).constData(), target, sizeof target - 1);
        if (length > 0 && extractFileName(QByteArray(target, length)) == deviceName)
            return decodeUdevEscapes(name);
    }
    return {};
}

} // namespace tovilo
