// Registers and removes the watchdog's event source.
#include "event_source.h"

#include "options.h"
#include "scoped_handle.h"

bool AddEventSource(const std::string& serviceExePath)
{
    HKEY key = nullptr;
    const LONG created = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0,
                                         KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (created != ERROR_SUCCESS) {
        WriteError("RegCreateKeyEx: " + std::to_string(created) + "\n");
        return false;
    }
    const ScopedKey scopedKey(key);
    LONG set = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                              reinterpret_cast<const BYTE*>(serviceExePath.c_str()),
                              static_cast<DWORD>(serviceExePath.size() + 1));
    if (set == ERROR_SUCCESS)
        set = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kEventTypesSupported),
                             sizeof kEventTypesSupported);
    if (set != ERROR_SUCCESS) {
        WriteError("RegSetValueEx: " + std::to_string(set) + "\n");
        return false;
    }
    return true;
}

bool RemoveEventSource()
{
    const LONG deleted = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, KEY_WOW64_64KEY, 0);
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
        WriteError("RegDeleteKeyEx: " + std::to_string(deleted) + "\n");
        return false;
    }
    return true;
}
