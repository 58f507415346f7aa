// The launcher's configuration file "zorvaneis.cfg" and the record read from it.
#pragma once

constexpr int kDefaultPort = 1465;
constexpr int kDocRootSize = 1024;     // at most 1023 characters
constexpr int kOptionTextSize = 8;     // at most 7 characters
constexpr int kConfigLineSize = 1024;  // a longer line is read in pieces

struct LauncherConfig {
    char docRoot[kDocRootSize];
    int port;
    char optionText[kOptionTextSize];
    int enableIsapi;
};

// Fills `config` from the file at `configPath`; a relative DOC_ROOT is taken
// against `baseDir`. The caller presets `port` and `enableIsapi`. A missing
// file is reported on standard error and leaves the defaults; bad lines are
// skipped without a word, so the record always holds usable values.
void LoadLauncherConfig(const char* configPath, const char* baseDir, LauncherConfig& config);
