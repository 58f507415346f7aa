// Fuzzes the reader of "zorvaneis.cfg": whatever the file holds, the record
// it leaves is usable.
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "config.h"
#include "fuzz_check.h"

namespace {

// The launcher's folder: ordinary, ending in a separator, empty, and near
// and beyond the document root's length.
const std::string kBaseDirs[] = {
    "C:\\Program Files\\ZorvaneIs", "D:/srv/", "", std::string(1020, 'b'), std::string(1023, 'b'),
    std::string(1500, 'b'),
};

bool HasKey(const std::string& text, const char* key, size_t at)
{
    return strncasecmp(text.c_str() + at, key, std::strlen(key)) == 0;
}

bool NamesDocRoot(const std::string& text)
{
    for (size_t at = 0; at < text.size(); ++at)
        if (HasKey(text, "doc_root=", at))
            return true;
    return false;
}

// Some "PORT=" in the file is followed by blanks, a sign and leading zeros,
// then by exactly the digits of `port`: a number never comes out of other
// digits (such as a wrapped 4294967376).
bool SpellsPort(const std::string& text, int port)
{
    const std::string digits = std::to_string(port);
    for (size_t at = 0; at < text.size(); ++at) {
        if (!HasKey(text, "port=", at))
            continue;
        size_t i = at + 5;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        if (i < text.size() && text[i] == '+')
            ++i;
        while (i < text.size() && text[i] == '0')
            ++i;
        const size_t end = i + digits.size();
        if (text.compare(i, digits.size(), digits) == 0 &&
            (end == text.size() || !std::isdigit(static_cast<unsigned char>(text[end]))))
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = "/tmp/zv-config-fuzz-" + std::to_string(getpid()) + ".cfg";
    FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
    std::fclose(file);

    const std::string& baseDir = kBaseDirs[size % std::size(kBaseDirs)];
    LauncherConfig config;
    std::memset(&config, 0x5A, sizeof config);  // no field may keep garbage
    config.port = kDefaultPort;
    config.enableIsapi = 1;
    LoadLauncherConfig(path.c_str(), baseDir.c_str(), config);
    std::remove(path.c_str());

    FUZZ_CHECK(std::memchr(config.docRoot, '\0', sizeof config.docRoot) != nullptr);
    FUZZ_CHECK(config.port >= 1 && config.port <= 65535);
    FUZZ_CHECK(config.enableIsapi == 0 || config.enableIsapi == 1);
    FUZZ_CHECK(std::memcmp(config.optionText, "no\0\0\0\0\0\0", kOptionTextSize) == 0);
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (config.port != kDefaultPort)
        FUZZ_CHECK(SpellsPort(text, config.port));
    if (!NamesDocRoot(text))
        FUZZ_CHECK(baseDir.compare(0, kDocRootSize - 1, config.docRoot) == 0);
    return 0;
}
