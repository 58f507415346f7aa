// The event source ZorvaneISSvc in the Application log: install registers
// the watchdog program as its message file, uninstall removes it.
#pragma once

#include <windows.h>

#include <string>

constexpr char kEventSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZorvaneISSvc";
// The types of the watchdog's events.
constexpr DWORD kEventTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE;

// Writes EventMessageFile (`serviceExePath`) and TypesSupported under the
// source's key; false with the error line on standard error.
bool AddEventSource(const std::string& serviceExePath);
// Deletes the source's key; true also when there was none.
bool RemoveEventSource();
