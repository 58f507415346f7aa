// Reader of "zorvaneis.cfg": KEY=value lines, comments, blanks, defaults.
#include "config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bounded_text.h"

namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The value behind "NAME=" when the line starts with it (letters folded), else null.
const char* MatchKey(const char* line, const char* name)
{
    size_t i = 0;
    for (; name[i] != '\0'; ++i) {
        if (AsciiLower(line[i]) != AsciiLower(name[i]))
            return nullptr;
    }
    return line[i] == '=' ? line + i + 1 : nullptr;
}

// "X:\..." / "X:/..." (drive with root) or "\\..." (network path).
bool IsAbsoluteDocRoot(const char* v)
{
    if (v[0] == '\0')
        return false;
    if (v[1] == ':' && IsPathSeparator(v[2]))
        return true;
    return v[0] == '\\' && v[1] == '\\';
}

void ApplyDocRoot(const char* value, const char* baseDir, LauncherConfig& config)
{
    const size_t limit = kDocRootSize - 1;
    if (IsAbsoluteDocRoot(value)) {
        CopyCut(config.docRoot, value, limit);
        return;
    }
    // Built afresh from the launcher's folder, never from an earlier DOC_ROOT.
    CopyCut(config.docRoot, baseDir, limit);
    size_t length = std::strlen(config.docRoot);
    if (length > 0 && !IsPathSeparator(config.docRoot[length - 1]) && length < limit)
        config.docRoot[length++] = '\\';
    if (IsPathSeparator(value[0]))
        ++value;
    while (length < limit && *value != '\0')
        config.docRoot[length++] = *value++;
    config.docRoot[length] = '\0';
}

void ApplyPort(const char* value, LauncherConfig& config)
{
    // Read as atoi reads (blanks, sign, digits, the rest ignored), but strtol
    // saturates where atoi's result is undefined: no number wraps into range.
    const long port = std::strtol(value, nullptr, 10);
    if (port >= 1 && port <= 65535)
        config.port = static_cast<int>(port);
}

void ApplyEnableIsapi(const char* value, LauncherConfig& config)
{
    const char first = AsciiLower(value[0]);
    if (first == 'y')
        config.enableIsapi = 1;
    else if (first == 'n')
        config.enableIsapi = 0;
}

void ApplyLine(char* line, const char* baseDir, LauncherConfig& config)
{
    size_t length = std::strlen(line);
    while (length > 0) {
        const char c = line[length - 1];
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
            break;
        line[--length] = '\0';
    }
    while (*line == ' ' || *line == '\t')
        ++line;
    if (*line == '\0' || *line == '#' || *line == ';')
        return;

    if (const char* value = MatchKey(line, "DOC_ROOT"))
        ApplyDocRoot(value, baseDir, config);
    else if (const char* value = MatchKey(line, "PORT"))
        ApplyPort(value, config);
    else if (const char* value = MatchKey(line, "ENABLE_ISAPI"))
        ApplyEnableIsapi(value, config);
}

}  // namespace

void LoadLauncherConfig(const char* configPath, const char* baseDir, LauncherConfig& config)
{
    config.port = kDefaultPort;
    std::memset(config.optionText, 0, sizeof config.optionText);
    std::memcpy(config.optionText, "no", 2);
    CopyCut(config.docRoot, baseDir, kDocRootSize - 1);

    // "rb": line ends stay as they are; a CR before the LF is trimmed below.
    FILE* file = std::fopen(configPath, "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "Config not found: %s\n", configPath);
        return;
    }
    char line[kConfigLineSize];
    while (std::fgets(line, sizeof line, file) != nullptr)
        ApplyLine(line, baseDir, config);
    std::fclose(file);
}
