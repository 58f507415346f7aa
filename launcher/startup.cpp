// Paths of the launcher's start-up: its folder and its configuration file.
#include "startup.h"

#include <cstring>

#include "bounded_text.h"

void FindBaseDir(const char* modulePath, char (&baseDir)[kBaseDirSize])
{
    size_t end = std::strlen(modulePath);
    for (size_t i = end; i > 0; --i) {
        if (IsPathSeparator(modulePath[i - 1])) {
            end = i - 1;
            break;
        }
    }
    CopyCut(baseDir, modulePath, end < kBaseDirSize - 1 ? end : kBaseDirSize - 1);
}

void BuildDefaultConfigPath(const char* baseDir, char (&configPath)[kConfigPathSize])
{
    const size_t limit = kConfigPathSize - 1;
    CopyCut(configPath, baseDir, limit);
    size_t length = std::strlen(configPath);
    if (length > 0 && !IsPathSeparator(configPath[length - 1]) && length < limit)
        configPath[length++] = '\\';
    for (const char* name = kConfigFileName; *name != '\0' && length < limit; ++name)
        configPath[length++] = *name;
    configPath[length] = '\0';
}

void ApplyCommandLine(int argc, char** argv, char (&configPath)[kConfigPathSize])
{
    if (argc > 1 && argv[1] != nullptr && argv[1][0] != '\0')
        CopyCut(configPath, argv[1], kConfigPathSize - 1);
}
