// The file side of the stand-in web server: opening what a reply plan names,
// and only when it really lies inside the document root.
#pragma once

#include <windows.h>

#include <string>

// The final path of `path` (every link and junction resolved), as
// GetFinalPathNameByHandleW gives it; false when it cannot be opened.
bool FinalPathOf(const std::string& path, std::wstring& finalPath);

// Opens the file of a 200 plan for reading and checks that its final path
// lies below `finalRoot`, the document root's own final path: a link in the
// content folder cannot hand out other files. 200 with `file` open, or the
// status to answer instead (403, 404); the caller closes `file`.
int OpenServedFile(const std::wstring& finalRoot, const std::string& path, HANDLE& file);
