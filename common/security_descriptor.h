// Security descriptors written as SDDL, for the folders, keys and services
// that only administrators may change.
#pragma once

#include <windows.h>
#include <sddl.h>

#include "scoped_handle.h"

struct LocalMemoryCloser {
    static bool IsValid(PSECURITY_DESCRIPTOR p) { return p != nullptr; }
    static void Close(PSECURITY_DESCRIPTOR p) { LocalFree(p); }
};
using ScopedDescriptor = Scoped<PSECURITY_DESCRIPTOR, LocalMemoryCloser>;

// The self-relative descriptor that `sddl` describes, freed with LocalFree;
// null when the text is not valid.
inline PSECURITY_DESCRIPTOR DescriptorFromSddl(const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return nullptr;
    return descriptor;
}
