// The launcher as a process: where it finds its configuration, what it
// serves, how it fails, and that it keeps running.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <string>

#include "testsupport.h"

namespace {

// A launcher installed in a folder of its own, with halvix.dll beside it.
class LauncherProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string bin = zvtest::ThisProgramFolder();
        ASSERT_TRUE(zvtest::CopyFileTo(bin + "\\zorvaneis.exe", exe_));
        ASSERT_TRUE(zvtest::CopyFileTo(bin + "\\halvix.dll", install_.File("halvix.dll")));
    }
    std::string Quoted(const std::string& s) { return "\"" + s + "\""; }
    void MakeSite(const std::string& folder, const std::string& page)
    {
        ASSERT_TRUE(zvtest::MakeFolders(folder));
        ASSERT_TRUE(zvtest::WriteFileBytes(folder + "\\index.html", page));
    }
    // Starts the launcher and waits until `port` answers.
    void StartServing(const std::string& args, int port)
    {
        ASSERT_TRUE(launcher_.Start(Quoted(exe_) + args, elsewhere_.path()));
        ASSERT_TRUE(zvtest::WaitForHttp(port, 15000)) << launcher_.Err();
    }
    void ExpectStillRunningAndQuiet(const std::string& expectedErr = "")
    {
        Sleep(500);
        EXPECT_TRUE(launcher_.IsRunning());
        EXPECT_EQ("", launcher_.Out());
        EXPECT_EQ(expectedErr, launcher_.Err());
    }

    zvtest::TempFolder install_{"zvlaunch"};
    zvtest::TempFolder elsewhere_{"zvcwd"};
    const std::string exe_ = install_.File("zorvaneis.exe");
    zvtest::BackgroundProgram launcher_;
};

TEST_F(LauncherProcess, ReadsConfigBesideItselfWhateverTheWorkingFolder)
{
    MakeSite(install_.File("site"), "<p>beside</p>");
    // A configuration in the working folder must not be read.
    ASSERT_TRUE(zvtest::WriteFileBytes(elsewhere_.File("zorvaneis.cfg"), "PORT=18209\n"));
    ASSERT_TRUE(zvtest::WriteFileBytes(install_.File("zorvaneis.cfg"), "PORT=18201\r\nDOC_ROOT=site\r\n"));

    StartServing("", 18201);
    const zvtest::HttpReply reply = zvtest::HttpGet(18201, "/");
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ("<p>beside</p>", reply.body);
    EXPECT_FALSE(zvtest::PortAccepts(18209));
    ExpectStillRunningAndQuiet();
}

TEST_F(LauncherProcess, EmptyFirstArgumentMeansTheDefaultPath)
{
    MakeSite(install_.File("site"), "default");
    ASSERT_TRUE(zvtest::WriteFileBytes(install_.File("zorvaneis.cfg"), "PORT=18204\nDOC_ROOT=site\n"));
    StartServing(" \"\" other.cfg", 18204);
    EXPECT_EQ("default", zvtest::HttpGet(18204, "/index.html").body);
    ExpectStillRunningAndQuiet();
}

TEST_F(LauncherProcess, ConfigPathArgumentWithRelativeDocRootAgainstLauncherFolder)
{
    MakeSite(install_.File("www"), "<p>launcher folder</p>");
    MakeSite(elsewhere_.File("www"), "<p>config folder</p>");
    const std::string config = elsewhere_.File("custom.cfg");
    ASSERT_TRUE(zvtest::WriteFileBytes(config, "DOC_ROOT=www\nPORT=18202\nENABLE_ISAPI=no\n"));

    // Only the first argument counts.
    StartServing(" " + Quoted(config) + " second.cfg third", 18202);
    EXPECT_EQ("<p>launcher folder</p>", zvtest::HttpGet(18202, "/").body);
    ExpectStillRunningAndQuiet();
}

TEST_F(LauncherProcess, TakenPortEndsWithExitCode3AndTheMessage)
{
    MakeSite(install_.File("site"), "x");
    ASSERT_TRUE(zvtest::WriteFileBytes(install_.File("zorvaneis.cfg"), "PORT=18203\nDOC_ROOT=site\n"));
    zvtest::BackgroundProgram first;
    ASSERT_TRUE(first.Start(Quoted(exe_)));
    ASSERT_TRUE(zvtest::WaitForHttp(18203, 15000)) << first.Err();

    const zvtest::RunResult second = zvtest::RunProgram(Quoted(exe_), elsewhere_.path(), 15000);
    EXPECT_FALSE(second.timedOut);
    EXPECT_EQ(3u, second.exitCode);
    EXPECT_EQ("", second.out);
    EXPECT_EQ("Failed to start server (docroot=" + install_.File("site") + ", port=18203).\n", second.err);
    EXPECT_TRUE(first.IsRunning());
}

TEST_F(LauncherProcess, MissingDocRootFolderFailsTheStart)
{
    ASSERT_TRUE(zvtest::WriteFileBytes(install_.File("zorvaneis.cfg"), "PORT=18205\nDOC_ROOT=E:\\nowhere\\at\\all\n"));
    const zvtest::RunResult run = zvtest::RunProgram(Quoted(exe_), elsewhere_.path(), 15000);
    EXPECT_EQ(3u, run.exitCode);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("Failed to start server (docroot=E:\\nowhere\\at\\all, port=18205).\n", run.err);
}

// Without a configuration file the launcher serves its own folder on 1465.
TEST_F(LauncherProcess, NoConfigServesItsFolderOnTheDefaultPort)
{
    ASSERT_TRUE(zvtest::WriteFileBytes(install_.File("index.html"), "own folder"));
    ASSERT_FALSE(zvtest::PortAccepts(1465)) << "port 1465 is taken by something else";
    StartServing("", 1465);
    EXPECT_EQ("own folder", zvtest::HttpGet(1465, "/").body);
    ExpectStillRunningAndQuiet("Config not found: " + install_.File("zorvaneis.cfg") + "\n");
    launcher_.Terminate();
}

}  // namespace
