// How the launcher finds its folder and configuration path.
#include "startup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(LauncherPaths, BaseDirAndDefaultConfigPath)
{
    struct Case {
        const char* modulePath;
        const char* baseDir;
        const char* configPath;
    };
    const Case cases[] = {
        {"C:\\Program Files\\ZorvaneIs\\zorvaneis.exe", "C:\\Program Files\\ZorvaneIs",
         "C:\\Program Files\\ZorvaneIs\\zorvaneis.cfg"},
        {"D:\\zorvaneis.exe", "D:", "D:\\zorvaneis.cfg"},
        {"D:/srv/bin/zorvaneis.exe", "D:/srv/bin", "D:/srv/bin\\zorvaneis.cfg"},
        {"D:\\srv/mixed\\zorvaneis.exe", "D:\\srv/mixed", "D:\\srv/mixed\\zorvaneis.cfg"},
        {"zorvaneis.exe", "zorvaneis.exe", "zorvaneis.exe\\zorvaneis.cfg"},
        {"", "", "zorvaneis.cfg"},
        {"\\zorvaneis.exe", "", "zorvaneis.cfg"},
    };
    for (const Case& c : cases) {
        char baseDir[kBaseDirSize];
        FindBaseDir(c.modulePath, baseDir);
        EXPECT_STREQ(c.baseDir, baseDir) << c.modulePath;
        char configPath[kConfigPathSize];
        BuildDefaultConfigPath(baseDir, configPath);
        EXPECT_STREQ(c.configPath, configPath) << c.modulePath;
    }
}

TEST(LauncherPaths, DefaultConfigPathIsCutAt1199Characters)
{
    const std::string base(1190, 'b');
    char configPath[kConfigPathSize];
    BuildDefaultConfigPath(base.c_str(), configPath);
    EXPECT_EQ(base + "\\zorvanei", configPath);

    const std::string withSeparator = std::string(1197, 'b') + "\\";
    BuildDefaultConfigPath(withSeparator.c_str(), configPath);
    EXPECT_EQ(withSeparator + "z", configPath);
}

TEST(LauncherPaths, FirstNonEmptyArgumentReplacesConfigPath)
{
    struct Case {
        std::vector<std::string> args;
        std::string expected;
    };
    const std::string longArg(1500, 'p');
    const Case cases[] = {
        {{"zorvaneis.exe"}, "default.cfg"},
        {{"zorvaneis.exe", ""}, "default.cfg"},
        {{"zorvaneis.exe", "", "other.cfg"}, "default.cfg"},
        {{"zorvaneis.exe", "E:\\conf\\a.cfg"}, "E:\\conf\\a.cfg"},
        {{"zorvaneis.exe", "rel.cfg", "ignored.cfg"}, "rel.cfg"},
        {{"zorvaneis.exe", longArg}, longArg.substr(0, 1199)},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv;
        for (const std::string& a : c.args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        char configPath[kConfigPathSize] = "default.cfg";
        ApplyCommandLine(static_cast<int>(c.args.size()), argv.data(), configPath);
        EXPECT_EQ(c.expected, configPath) << c.args.size();
    }
}

}  // namespace
