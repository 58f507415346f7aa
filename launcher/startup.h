// How the launcher finds its folder and its configuration file.
#pragma once

constexpr int kModulePathSize = 1024;  // GetModuleFileNameA is given 1023
constexpr int kBaseDirSize = 1024;     // at most 1023 characters
constexpr int kConfigPathSize = 1200;  // at most 1199 characters
constexpr char kConfigFileName[] = "zorvaneis.cfg";

// `modulePath` without its last "\" or "/" and what follows; the whole path
// when it holds no separator.
void FindBaseDir(const char* modulePath, char (&baseDir)[kBaseDirSize]);

// `baseDir`, a backslash unless it ends in a separator or is empty, and
// "zorvaneis.cfg", cut at 1199 characters.
void BuildDefaultConfigPath(const char* baseDir, char (&configPath)[kConfigPathSize]);

// A non-empty first argument replaces the configuration path; the rest is ignored.
void ApplyCommandLine(int argc, char** argv, char (&configPath)[kConfigPathSize]);
