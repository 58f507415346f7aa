// The configuration reader: defaults, keys, path rules, line handling.
#include "config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"

namespace {

constexpr char kBase[] = "D:\\srv";

struct Expected {
    std::string docRoot;
    int port;
    int enableIsapi;
};

class ConfigReader : public ::testing::Test {
protected:
    // Reads `content` as the file and returns what the reader wrote to stderr.
    std::string Load(const std::string& content, const char* baseDir = kBase)
    {
        const std::string path = folder_.File("zorvaneis.cfg");
        EXPECT_TRUE(zvtest::WriteFileBytes(path, content));
        return LoadPath(path, baseDir);
    }
    std::string LoadPath(const std::string& path, const char* baseDir = kBase)
    {
        std::memset(&config_, 0x5A, sizeof config_);  // no field may keep garbage
        config_.port = 1465;
        config_.enableIsapi = 1;
        ::testing::internal::CaptureStderr();
        LoadLauncherConfig(path.c_str(), baseDir, config_);
        return ::testing::internal::GetCapturedStderr();
    }
    void ExpectConfig(const Expected& e, const std::string& context)
    {
        EXPECT_EQ(e.docRoot, config_.docRoot) << context;
        EXPECT_EQ(e.port, config_.port) << context;
        EXPECT_EQ(e.enableIsapi, config_.enableIsapi) << context;
        EXPECT_EQ(0, std::memcmp(config_.optionText, "no\0\0\0\0\0\0", 8)) << context;
    }

    zvtest::TempFolder folder_{"zvcfg"};
    LauncherConfig config_;
};

TEST_F(ConfigReader, MissingFileReportsThePathAndKeepsDefaults)
{
    const std::string path = folder_.File("absent.cfg");
    EXPECT_EQ("Config not found: " + path + "\n", LoadPath(path));
    ExpectConfig({kBase, 1465, 1}, "missing file");
}

TEST_F(ConfigReader, FilesWithoutSettingsKeepDefaultsSilently)
{
    const char* contents[] = {"", "\n\n", "# comment\n; other\n   # indented\n\t;tab\n", "   \t \r\n",
                              "UNKNOWN=1\nDOC_ROOT \n"};
    for (const char* content : contents) {
        EXPECT_EQ("", Load(content)) << content;
        ExpectConfig({kBase, 1465, 1}, content);
    }
}

TEST_F(ConfigReader, CallerPresetIsapiFlagIsKept)
{
    config_.enableIsapi = 0;
    const std::string path = folder_.File("zorvaneis.cfg");
    ASSERT_TRUE(zvtest::WriteFileBytes(path, "PORT=80\n"));
    LoadLauncherConfig(path.c_str(), kBase, config_);
    EXPECT_EQ(0, config_.enableIsapi);
}

struct LineCase {
    const char* content;
    Expected expected;
};

TEST_F(ConfigReader, DocRootRules)
{
    const LineCase cases[] = {
        {"doc_root=www\n", {"D:\\srv\\www", 1465, 1}},
        {"  \tDOC_ROOT=www\n", {"D:\\srv\\www", 1465, 1}},
        {"DOC_ROOT=/www\n", {"D:\\srv\\www", 1465, 1}},
        {"DOC_ROOT=\\www\n", {"D:\\srv\\www", 1465, 1}},
        {"DOC_ROOT=//host/share\n", {"D:\\srv\\/host/share", 1465, 1}},
        {"DOC_ROOT=\n", {"D:\\srv\\", 1465, 1}},
        {"DOC_ROOT=E:/web\n", {"E:/web", 1465, 1}},
        {"DOC_ROOT=E:\\web\n", {"E:\\web", 1465, 1}},
        {"DOC_ROOT=E:web\n", {"D:\\srv\\E:web", 1465, 1}},
        {"DOC_ROOT=\\\\host\\share\n", {"\\\\host\\share", 1465, 1}},
        {"DOC_ROOT = E:\\web\n", {"D:\\srv", 1465, 1}},
        {"DOC_ROOT=E:\\web # site \t \r\n", {"E:\\web # site", 1465, 1}},
        {"DOC_ROOT=a/../b\\\\c\n", {"D:\\srv\\a/../b\\\\c", 1465, 1}},
        {"DOC_ROOT=E:\\web\nDOC_ROOT=www\n", {"D:\\srv\\www", 1465, 1}},
        {"DOC_ROOT=www\nDOC_ROOT=site\n", {"D:\\srv\\site", 1465, 1}},
        {"DOC_ROOT=a\vb\f\n", {"D:\\srv\\a\vb\f", 1465, 1}},
    };
    for (const LineCase& c : cases) {
        Load(c.content);
        ExpectConfig(c.expected, c.content);
    }
}

TEST_F(ConfigReader, DocRootAgainstBaseDirEndingInSeparatorOrEmpty)
{
    Load("DOC_ROOT=www\n", "D:\\");
    EXPECT_STREQ("D:\\www", config_.docRoot);
    Load("DOC_ROOT=www\n", "D:/srv/");
    EXPECT_STREQ("D:/srv/www", config_.docRoot);
    Load("DOC_ROOT=/www\n", "");
    EXPECT_STREQ("www", config_.docRoot);
}

TEST_F(ConfigReader, PortRules)
{
    const LineCase cases[] = {
        {"PORT=8080\n", {kBase, 8080, 1}},     {"port=80abc\n", {kBase, 80, 1}},
        {"PORT= 80\n", {kBase, 80, 1}},        {"PORT=+443\n", {kBase, 443, 1}},
        {"PORT=1\n", {kBase, 1, 1}},           {"PORT=65535\n", {kBase, 65535, 1}},
        {"PORT=0\n", {kBase, 1465, 1}},        {"PORT=-80\n", {kBase, 1465, 1}},
        {"PORT=65536\n", {kBase, 1465, 1}},    {"PORT=abc\n", {kBase, 1465, 1}},
        {"PORT=\n", {kBase, 1465, 1}},         {"PORT=80\nPORT=443\n", {kBase, 443, 1}},
        {"PORT=80\nPORT=0\n", {kBase, 80, 1}}, {"PORT =80\n", {kBase, 1465, 1}},
        {"PORT=\t\v80\n", {kBase, 80, 1}},   {"PORT=0000000000080\n", {kBase, 80, 1}},
        // Numbers beyond the int range are unusable, not wrapped into range.
        {"PORT=4294967376\n", {kBase, 1465, 1}}, {"PORT=4294967297\n", {kBase, 1465, 1}},
        {"PORT=-4294967216\n", {kBase, 1465, 1}}, {"PORT=99999999999999999999999\n", {kBase, 1465, 1}},
    };
    for (const LineCase& c : cases) {
        Load(c.content);
        ExpectConfig(c.expected, c.content);
    }
}

TEST_F(ConfigReader, EnableIsapiRules)
{
    const LineCase cases[] = {
        {"ENABLE_ISAPI=Yes\n", {kBase, 1465, 1}},       {"ENABLE_ISAPI=y\n", {kBase, 1465, 1}},
        {"ENABLE_ISAPI=NO\n", {kBase, 1465, 0}},        {"enable_isapi=nope\n", {kBase, 1465, 0}},
        {"ENABLE_ISAPI=1\n", {kBase, 1465, 1}},         {"ENABLE_ISAPI=n\nENABLE_ISAPI=true\n", {kBase, 1465, 0}},
        {"ENABLE_ISAPI=n\nENABLE_ISAPI= yes\n", {kBase, 1465, 0}},
        {"ENABLE_ISAPI=n\nENABLE_ISAPI=\n", {kBase, 1465, 0}},
        {"ENABLE_ISAPI=n\nENABLE_ISAPI=Y\n", {kBase, 1465, 1}},
    };
    for (const LineCase& c : cases) {
        Load(c.content);
        ExpectConfig(c.expected, c.content);
    }
}

TEST_F(ConfigReader, LineEndingsAndByteOrderMark)
{
    const LineCase cases[] = {
        {"PORT=81\r\nENABLE_ISAPI=n\r\nDOC_ROOT=www\r\n", {"D:\\srv\\www", 81, 0}},
        {"PORT=82", {kBase, 82, 1}},  // no final line end
        {"\xEF\xBB\xBFPORT=83\nENABLE_ISAPI=n\n", {kBase, 1465, 0}},
        // A lone CR ends no line: one line, whose value runs to the end.
        {"PORT=84\rENABLE_ISAPI=n\rDOC_ROOT=x\r", {kBase, 84, 1}},
        {"DOC_ROOT=x\rPORT=85\r", {"D:\\srv\\x\rPORT=85", 1465, 1}},
    };
    for (const LineCase& c : cases) {
        Load(c.content);
        ExpectConfig(c.expected, c.content);
    }
}

TEST_F(ConfigReader, LongLinesAreReadInPiecesOf1023Bytes)
{
    // The rest of a 1500-byte line is a line of its own: a key there counts.
    const std::string head = "# " + std::string(1021, 'x');
    Load(head + "PORT=8081" + std::string(1500 - 1023 - 9, ' ') + "\n");
    EXPECT_EQ(8081, config_.port);

    // A key one byte later starts inside the piece and is ignored.
    Load("#" + head + "PORT=8082\n");
    EXPECT_EQ(1465, config_.port);

    // Only the first 1023 bytes of a CR-only file are one piece.
    Load("DOC_ROOT=" + std::string(1014, 'a') + "PORT=8083\r");
    EXPECT_EQ(8083, config_.port);
}

TEST_F(ConfigReader, DocRootIsCutAt1023Characters)
{
    const std::string longAbsolute = "E:\\" + std::string(2000, 'd');
    Load("DOC_ROOT=" + longAbsolute.substr(0, 1000) + "\n");
    EXPECT_EQ(longAbsolute.substr(0, 1000), config_.docRoot);

    const std::string base(1020, 'b');
    Load("DOC_ROOT=www\n", base.c_str());
    EXPECT_EQ(base + "\\ww", config_.docRoot);

    const std::string fullBase(1023, 'b');
    Load("DOC_ROOT=www\n", fullBase.c_str());
    EXPECT_EQ(fullBase, config_.docRoot);

    const std::string tooLongBase(1500, 'b');
    Load("", tooLongBase.c_str());
    EXPECT_EQ(fullBase, config_.docRoot);
}

struct FencedBlock {
    std::string info;   // what follows the opening fence, e.g. "ini"
    std::string body;
    std::string after;  // the text up to the next fence
};

std::vector<FencedBlock> FencedBlocks(const std::string& markdown)
{
    std::vector<FencedBlock> blocks;
    std::istringstream lines(markdown);
    bool inside = false;
    for (std::string line; std::getline(lines, line);) {
        const size_t start = line.find_first_not_of(' ');
        const bool fence = start != std::string::npos && line.compare(start, 3, "```") == 0;
        if (fence && !inside)
            blocks.push_back({line.substr(start + 3), "", ""});
        if (fence)
            inside = !inside;
        else if (!blocks.empty())
            (inside ? blocks.back().body : blocks.back().after) += line + "\n";
    }
    return blocks;
}

// Every settings example in the docs, read by the reader itself, must give
// what the sentence after it promises; an unmarked example is an error.
TEST_F(ConfigReader, DocumentedExamplesGiveWhatTheirTextPromises)
{
    const char kInstalled[] = "C:\\Program Files\\ZorvaneIs";
    const std::regex promise("serves `([^`]*)` on port (\\d+), ISAPI extensions (on|off)");
    const std::regex settingLine("(^|\n)[ \t]*(DOC_ROOT|PORT|ENABLE_ISAPI)=", std::regex::icase);
    std::string shipped;
    ASSERT_TRUE(zvtest::ReadFileBytes(zvtest::HostPath(ZV_SOURCE_DIR "/launcher/zorvaneis.cfg"), shipped));
    Load(shipped, kInstalled);
    ExpectConfig({std::string(kInstalled) + "\\site", 1465, 0}, "the shipped zorvaneis.cfg");

    int examples = 0;
    bool shippedShown = false;
    for (const std::string doc : {"README.md", "INSTALL.md"}) {
        std::string text;
        ASSERT_TRUE(zvtest::ReadFileBytes(zvtest::HostPath(ZV_SOURCE_DIR "/" + doc), text)) << doc;
        for (const FencedBlock& block : FencedBlocks(text)) {
            if (block.info != "ini") {
                EXPECT_FALSE(std::regex_search(block.body, settingLine)) << doc << ", not marked ini:\n" << block.body;
                continue;
            }
            ++examples;
            shippedShown = shippedShown || block.body == shipped;
            std::smatch promised;
            ASSERT_TRUE(std::regex_search(block.after, promised, promise)) << doc << ", no promise after:\n"
                                                                           << block.body;
            Load(block.body, kInstalled);
            ExpectConfig({promised[1], std::stoi(promised[2]), promised[3] == "on" ? 1 : 0}, doc + ":\n" + block.body);
        }
    }
    EXPECT_GE(examples, 4);
    EXPECT_TRUE(shippedShown) << "INSTALL.md shows the shipped zorvaneis.cfg as it is";
}

}  // namespace
