// The service log: line layout, length limit, encoding, re-creation of the
// folder and the file, appending, and writers on several threads.
#include "log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "monitor.h"
#include "scoped_handle.h"
#include "security_descriptor.h"
#include "service.h"
#include "testsupport.h"
#include "watchdog_testing.h"

namespace {

using wdtest::LogWatch;
using wdtest::kServiceLogPath;

constexpr char kLogFolder[] = "C:\\ProgramData\\Tovimar\\ZorvaneService";
constexpr char kCompanyFolder[] = "C:\\ProgramData\\Tovimar";
const std::regex kLineLayout(R"((\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3})  (.*))");

std::string LogBytes()
{
    std::string bytes;
    zvtest::ReadFileBytes(kServiceLogPath, bytes);
    return bytes;
}

ULONGLONG Milliseconds(const SYSTEMTIME& time)
{
    FILETIME file;
    SystemTimeToFileTime(&time, &file);
    return ((static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime) / 10000;
}

bool IsFolder(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

TEST(ServiceLog, LineIsLocalTimeTwoSpacesMessageAndCrLf)
{
    LogWatch watch;
    SYSTEMTIME before;
    GetLocalTime(&before);
    WriteLog(L"layout %s %lu %ld", L"text", 4000000000ul, -7l);
    SYSTEMTIME after;
    GetLocalTime(&after);

    const std::vector<std::string> lines = watch.Lines();
    ASSERT_EQ(1u, lines.size());
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(lines[0], parts, kLineLayout)) << lines[0];
    EXPECT_EQ("layout text 4000000000 -7", parts[8].str());
    EXPECT_EQ(wdtest::kLinePrefixLength, parts.position(8));
    SYSTEMTIME stamp = {};
    stamp.wYear = static_cast<WORD>(std::stoi(parts[1]));
    stamp.wMonth = static_cast<WORD>(std::stoi(parts[2]));
    stamp.wDay = static_cast<WORD>(std::stoi(parts[3]));
    stamp.wHour = static_cast<WORD>(std::stoi(parts[4]));
    stamp.wMinute = static_cast<WORD>(std::stoi(parts[5]));
    stamp.wSecond = static_cast<WORD>(std::stoi(parts[6]));
    stamp.wMilliseconds = static_cast<WORD>(std::stoi(parts[7]));
    EXPECT_LE(Milliseconds(before), Milliseconds(stamp));
    EXPECT_GE(Milliseconds(after), Milliseconds(stamp));

    const std::string bytes = LogBytes();
    ASSERT_GE(bytes.size(), lines[0].size() + 2);
    EXPECT_EQ(lines[0] + "\r\n", bytes.substr(bytes.size() - lines[0].size() - 2));
}

TEST(ServiceLog, MessageKeepsAtMost2047Units)
{
    std::wstring pattern;
    for (int i = 0; i < 600; ++i)
        pattern += static_cast<wchar_t>(L'a' + i % 26);
    struct Case {
        size_t length;
        size_t kept;
    };
    const Case cases[] = {{2046, 2046}, {2047, 2047}, {2048, 2047}, {5000, 2047}};
    for (const Case& c : cases) {
        std::wstring message;
        while (message.size() < c.length)
            message += pattern;
        message.resize(c.length);
        LogWatch watch;
        WriteLog(L"%s", message.c_str());
        const std::vector<std::string> lines = watch.Lines();
        ASSERT_EQ(1u, lines.size()) << c.length;
        EXPECT_EQ(wdtest::Utf8(message.substr(0, c.kept)), lines[0].substr(wdtest::kLinePrefixLength)) << c.length;
    }
    // A cut between characters of two UTF-8 bytes each leaves whole ones only.
    {
        LogWatch watch;
        WriteLog(L"%s", std::wstring(2100, L'\u00e9').c_str());
        ASSERT_EQ(1u, watch.Messages().size());
        std::string expected;
        for (int i = 0; i < 2047; ++i)
            expected += "\xc3\xa9";
        EXPECT_EQ(expected, watch.Messages()[0]);
    }
    // The limit holds for the formatted text, not only for the arguments.
    LogWatch watch;
    WriteLog((std::wstring(2040, L'f') + L"%s").c_str(), L"0123456789");
    ASSERT_EQ(1u, watch.Messages().size());
    EXPECT_EQ(std::string(2040, 'f') + "0123456", watch.Messages()[0]);
}

// Control characters are masked, so that no text from the registry or a
// command line can start a line of its own.
TEST(ServiceLog, TextIsStoredAsUtf8WithControlCharactersMasked)
{
    struct Case {
        const wchar_t* argument;
        const char* utf8;
    };
    const Case cases[] = {
        {L"C:\\M\u00fcller\\\u00c4rger", "C:\\M\xc3\xbcller\\\xc3\x84rger"},
        {L"\u2713 \u65e5\u672c", "\xe2\x9c\x93 \xe6\x97\xa5\xe6\x9c\xac"},
        {L"\U0001D11E", "\xf0\x9d\x84\x9e"},
        {L"lone \xD800 surrogate", "lone \xef\xbf\xbd surrogate"},
        {L"C:\\a.exe\r\n2026-01-01 00:00:00.000  Launched 'x' (PID=1)", "C:\\a.exe??2026-01-01 00:00:00.000  Launched 'x' (PID=1)"},
        {L"bare\nline\rfeed", "bare?line?feed"},
        {L"\x01\t\x1b[2J\x1f\x7f end", "???[2J?? end"},
        {L"\x80 ~ kept", "\xc2\x80 ~ kept"},
    };
    for (const Case& c : cases) {
        LogWatch watch;
        WriteLog(L"Pfad \u00e9 %s", c.argument);
        const std::vector<std::string> lines = watch.Lines();
        ASSERT_EQ(1u, lines.size()) << c.utf8;
        ASSERT_TRUE(std::regex_match(lines[0], kLineLayout)) << lines[0];
        EXPECT_EQ(std::string("Pfad \xc3\xa9 ") + c.utf8, lines[0].substr(wdtest::kLinePrefixLength));
    }
}

// NT SERVICE\ZorvaneISSvc as computed by hand from the SHA-1 of the name.
constexpr char kServiceSid[] = "S-1-5-80-1141001183-3739899634-2345168976-2490466165-3019848349";

TEST(ServiceLog, ServiceSidIsTheHashOfTheUpperCasedName)
{
    const struct {
        const wchar_t* name;
        const char* sid;
    } cases[] = {
        {L"ZorvaneISSvc", kServiceSid},
        {L"zorvaneissvc", kServiceSid},
        // The SID that Windows documents for its installer service.
        {L"TrustedInstaller", "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.sid, zvtest::Narrow(ServiceSidText(c.name))) << zvtest::Narrow(c.name);
}

TEST(ServiceLog, FoldersAreChangedByAdministratorsOnly)
{
    const BYTE inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const DWORD usersRead = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
    // Neither the data nor execution: either would let a user open the file
    // sharing nothing and so hold off every line.
    const DWORD usersSeeTheFile = READ_CONTROL | SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_READ_EA;
    // List, traverse, read the descriptor, create files; no delete, no DACL change.
    const DWORD serviceInFolder = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_EA |
                                  FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
    // Read and append to the files; no overwrite, no delete, no DACL change.
    const DWORD serviceOnFile = FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_EA | FILE_READ_ATTRIBUTES |
                                READ_CONTROL | SYNCHRONIZE;
    const std::vector<zvtest::AllowedAce> folder = {
        {zvtest::kSidSystem, FILE_ALL_ACCESS, inherit},
        {zvtest::kSidAdministrators, FILE_ALL_ACCESS, inherit},
        {zvtest::kSidUsers, usersRead, inherit},
    };
    std::vector<zvtest::AllowedAce> serviceFolder = folder;
    serviceFolder.push_back({kServiceSid, serviceInFolder, 0});
    serviceFolder.push_back({kServiceSid, serviceOnFile, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE});
    const std::vector<zvtest::AllowedAce> file = {
        {zvtest::kSidSystem, FILE_ALL_ACCESS, 0},
        {zvtest::kSidAdministrators, FILE_ALL_ACCESS, 0},
        {zvtest::kSidUsers, usersSeeTheFile, 0},
        {kServiceSid, serviceOnFile, 0},
    };
    const struct {
        LogObject object;
        bool withOwner;
        const char* owner;
        std::vector<zvtest::AllowedAce> allowed;
    } cases[] = {
        {LogObject::Folder, true, zvtest::kSidAdministrators, folder},
        {LogObject::ServiceFolder, true, zvtest::kSidAdministrators, serviceFolder},
        {LogObject::File, true, zvtest::kSidAdministrators, file},
        {LogObject::ServiceFolder, false, "", serviceFolder},
        {LogObject::File, false, "", file},
    };
    for (const auto& c : cases) {
        const std::wstring sddl = LogObjectSddl(c.object, zvtest::Widen(kServiceSid), c.withOwner);
        const ScopedDescriptor descriptor(DescriptorFromSddl(sddl.c_str()));
        ASSERT_TRUE(descriptor) << zvtest::Narrow(sddl);
        const zvtest::DaclView view = zvtest::ViewDacl(descriptor.get());
        EXPECT_EQ(c.owner, view.owner) << zvtest::Narrow(sddl);
        EXPECT_TRUE(view.protectedDacl) << zvtest::Narrow(sddl);
        EXPECT_EQ(0u, view.otherEntries) << zvtest::Narrow(sddl);
        EXPECT_TRUE(c.allowed == view.allowed) << zvtest::Narrow(sddl);
    }
}

// Wine reads back a DACL made up from the Unix owner: the decision is
// checked on descriptors as Windows would return them.
TEST(ServiceLog, OnlyTheLogsOwnersAndProtectedDaclPassTheCheck)
{
    const std::wstring sid = zvtest::Widen(kServiceSid);
    const std::wstring folder = LogObjectSddl(LogObject::Folder, sid);
    const std::wstring file = LogObjectSddl(LogObject::File, sid);
    const std::wstring aces = folder.substr(folder.find(L'('));
    const ScopedDescriptor plain(DescriptorFromSddl(folder.c_str()));
    const ScopedDescriptor service(DescriptorFromSddl(LogObjectSddl(LogObject::ServiceFolder, sid).c_str()));
    const ScopedDescriptor ofFile(DescriptorFromSddl(file.c_str()));
    std::vector<BYTE> system(SECURITY_MAX_SID_SIZE), administrators(SECURITY_MAX_SID_SIZE);
    DWORD size = SECURITY_MAX_SID_SIZE;
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system.data(), &size));
    size = SECURITY_MAX_SID_SIZE;
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators.data(), &size));
    const std::vector<PSID> owners = {system.data(), administrators.data()};
    const std::vector<PSECURITY_DESCRIPTOR> folders = {plain.get(), service.get()};
    const std::vector<PSECURITY_DESCRIPTOR> files = {ofFile.get()};
    const struct {
        std::wstring actual;
        bool isFile;
        bool needsSecuring;
    } cases[] = {
        {folder, false, false},
        {L"O:SYD:P" + aces, false, false},
        {LogObjectSddl(LogObject::ServiceFolder, sid), false, false},
        {file, true, false},
        {L"O:S-1-5-21-1-2-3-1001D:P" + aces, false, true},
        {L"O:BAD:" + aces, false, true},
        {L"O:BAD:P" + aces + L"(A;OICI;FA;;;BU)", false, true},
        {L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)", false, true},
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false, true},
        {L"O:BAD:P(D;;FA;;;SY)" + aces, false, true},
        {L"O:BAD:NO_ACCESS_CONTROL", false, true},
        {L"O:BA", false, true},
        {L"O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)(A;OICI;0x1200a9;;;WD)", false, true},
        {folder, true, true},
        {file, false, true},
    };
    for (const auto& c : cases) {
        const ScopedDescriptor actual(DescriptorFromSddl(c.actual.c_str()));
        ASSERT_TRUE(actual) << zvtest::Narrow(c.actual);
        EXPECT_EQ(c.needsSecuring, NeedsSecuring(actual.get(), owners, c.isFile ? files : folders))
            << zvtest::Narrow(c.actual);
    }
}

// Such a folder is moved aside rather than secured in place.
TEST(ServiceLog, AFolderThatAUserMadeOrMayChangeIsHeldByOthers)
{
    std::vector<std::vector<BYTE>> sids;
    std::vector<PSID> trusted;
    for (const char* sid : {zvtest::kSidSystem, zvtest::kSidAdministrators, kServiceSid}) {
        sids.push_back(zvtest::SidBytes(zvtest::Widen(sid)));
        trusted.push_back(sids.back().data());
    }
    const struct {
        std::wstring actual;
        bool held;
    } cases[] = {
        {LogObjectSddl(LogObject::ServiceFolder, zvtest::Widen(kServiceSid)), false},
        {L"O:SYD:(A;;FA;;;SY)(A;OICIIO;FA;;;BU)(A;;0x1200a9;;;WD)", false},
        {L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)", true},
        {L"O:BAD:(A;OICI;FA;;;SY)(A;CI;0x116;;;BU)", true},
        {L"O:BAD:P(A;;WD;;;WD)", true},
        {L"O:BA", true},
    };
    for (const auto& c : cases) {
        const ScopedDescriptor actual(DescriptorFromSddl(c.actual.c_str()));
        EXPECT_EQ(c.held, actual && HeldByOthers(actual.get(), trusted)) << zvtest::Narrow(c.actual);
    }
}

TEST(ServiceLog, LesserAccountsAreTheServiceAccounts)
{
    const struct {
        const char* user;
        bool serviceAccount;
    } cases[] = {
        {zvtest::kSidSystem, false},  {"S-1-5-19", true}, {"S-1-5-20", true}, {kServiceSid, true},
        {"S-1-5-21-0-0-0-1000", false}, {zvtest::kSidAdministrators, false},
    };
    for (const auto& c : cases) {
        PSID sid = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidA(c.user, &sid)) << c.user;
        EXPECT_EQ(c.serviceAccount, IsServiceAccount(sid)) << c.user;
        LocalFree(sid);
    }
}

// Windows' AccessCheck on the log's descriptors: the stand-in token of the
// access table, whose user takes the place of the account or of the service
// SID it holds. Without the SID in the token, entries fall to the account.
TEST(ServiceLog, OnlyTheServiceSidMayCreateAndAppendUnderALesserAccount)
{
    std::vector<BYTE> user;
    const ScopedHandle token(zvtest::MakeStandInToken(user));
    LPSTR standIn = nullptr;
    ASSERT_TRUE(token.get() != nullptr && ConvertSidToStringSidA(user.data(), &standIn));
    const std::wstring service = zvtest::Widen(kServiceSid);
    const std::wstring holder = zvtest::Widen(standIn);
    LocalFree(standIn);

    const struct {
        LogAccount account;
        bool granted;
    } cases[] = {
        {{L"S-1-5-19", true, true, service}, false},
        {{L"S-1-5-19", true, true, holder}, true},
        {{holder, true, false, service}, true},
    };
    for (const auto& c : cases) {
        const LogDescriptors sddl = DescribeLog(c.account);
        // The service SID owns what it makes: other services of the account
        // get no implicit WRITE_DAC on it.
        for (const std::wstring& made : {sddl.createdFile, sddl.createdLastFolder, sddl.createdFolder}) {
            const ScopedDescriptor descriptor(DescriptorFromSddl(made.c_str()));
            const std::wstring owner = c.account.holdsServiceSid ? c.account.serviceSid : L"";
            EXPECT_EQ(zvtest::Narrow(owner), zvtest::ViewDacl(descriptor.get()).owner) << zvtest::Narrow(made);
        }
        // Create service.log in the last folder; append to it, as it is or as made.
        for (const auto& access : {std::make_pair(sddl.lastFolder, FILE_ADD_FILE), std::make_pair(sddl.file, FILE_APPEND_DATA),
                                   std::make_pair(sddl.createdFile, FILE_APPEND_DATA)}) {
            std::wstring text = access.first;
            // AccessCheck needs a group, and an owner where the default one is meant.
            text.insert(text.find(L"D:"), text.find(L"O:") == 0 ? L"G:SY" : L"O:SYG:SY");
            const ScopedDescriptor descriptor(DescriptorFromSddl(text.c_str()));
            bool granted = false;
            ASSERT_TRUE(zvtest::AccessGranted(descriptor.get(), token.get(), static_cast<DWORD>(access.second),
                                              zvtest::kFileMapping, granted))
                << GetLastError() << " " << zvtest::Narrow(text);
            EXPECT_EQ(c.granted, granted) << zvtest::Narrow(text);
        }
    }
}

std::vector<std::string> SecuredPaths;

bool RecordSecuring(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor, const FileIdentity* expected)
{
    SecuredPaths.push_back(zvtest::Narrow(path));
    return TakeOverLogObject(path, descriptor, expected);
}

// Wine keeps no DACL, so each object that this process has not secured yet
// is secured once: what a user made or planted is, and then nothing more.
TEST(ServiceLog, WhatAUserMadeInPlaceOfTheLogIsSecuredAgain)
{
    g_secureLogObject = RecordSecuring;
    // Each folder removed and made again, the file planted, as a user would.
    for (const char* made : {kLogFolder, kCompanyFolder, kServiceLogPath}) {
        WriteLog(L"before: %S", made);
        if (made == kServiceLogPath) {
            ASSERT_TRUE(DeleteFileA(made) && zvtest::WriteFileBytes(made, "planted\r\n"));
        } else {
            zvtest::RemoveTree(made);
            ASSERT_TRUE(CreateDirectoryA(made, nullptr)) << made;
        }
        SecuredPaths.clear();
        LogWatch watch;
        WriteLog(L"after: %S", made);
        const std::vector<std::string> secured = SecuredPaths;
        WriteLog(L"again after: %S", made);
        EXPECT_TRUE(std::find(secured.begin(), secured.end(), made) != secured.end()) << made;
        EXPECT_EQ(secured, SecuredPaths) << made;
        EXPECT_EQ(2u, watch.Lines().size()) << made;
    }
    g_secureLogObject = TakeOverLogObject;
}

// The first line of this process finds the folders made before it, which
// Wine cannot show as a user's: the verdict is stood in for.
TEST(ServiceLog, AFolderThatAUserHoldsIsMovedAsideAndMadeAfresh)
{
    ASSERT_TRUE(zvtest::MakeFolders(kLogFolder) && zvtest::WriteFileBytes(kServiceLogPath, "the user's\r\n"));
    g_heldByOthers = [](PSECURITY_DESCRIPTOR, const std::vector<PSID>&) { return true; };
    WriteLog(L"in a folder of our own");
    g_heldByOthers = HeldByOthers;

    WIN32_FIND_DATAA aside;
    const HANDLE search = FindFirstFileA((std::string(kCompanyFolder) + ".moved-*").c_str(), &aside);
    ASSERT_NE(INVALID_HANDLE_VALUE, search);
    FindClose(search);
    const std::string moved = std::string("C:\\ProgramData\\") + aside.cFileName;
    std::string bytes;
    EXPECT_TRUE(zvtest::ReadFileBytes(moved + "\\ZorvaneService\\service.log", bytes) && bytes == "the user's\r\n");
    EXPECT_EQ("in a folder of our own\r\n", LogBytes().substr(wdtest::kLinePrefixLength));
    zvtest::RemoveTree(moved);
}

// Each test runs as a process of its own, whose first line asks the account.
// Wine reads back no protected DACL, so no level passes the check there.
TEST(ServiceLog, ALesserAccountSecuresNothingAndWritesNoUnsecuredLevel)
{
    g_isServiceAccount = [](PSID) { return true; };
    g_secureLogObject = RecordSecuring;
    SecuredPaths.clear();
    LogWatch watch;
    WriteLog(L"under a lesser account");
    EXPECT_EQ(std::vector<std::string>(), SecuredPaths);
    EXPECT_EQ(0u, watch.Lines().size());
    g_secureLogObject = TakeOverLogObject;
}

// Wine keeps no DACLs, but shows hard links and host symbolic links: a link
// that a user plants in the log's place never receives a line.
TEST(ServiceLog, LinksInPlaceOfTheLogAreNotFollowed)
{
    const std::string elsewhere = "C:\\ZvLogElsewhere";
    const std::string victim = elsewhere + "\\victim.txt";
    const std::string planted = "planted by a user\r\n";
    const struct {
        const char* name;
        std::function<bool()> plant;
        std::function<bool()> remove;
        std::string untouched;  // the file that a followed link would have written
    } cases[] = {
        {"service.log as a hard link",
         [&] { return DeleteFileA(kServiceLogPath) && CreateHardLinkA(kServiceLogPath, victim.c_str(), nullptr); },
         [] { return DeleteFileA(kServiceLogPath) != FALSE; }, victim},
        {"service.log as a symbolic link",
         [] {
             return DeleteFileA(kServiceLogPath) &&
                    zvtest::MakeSymbolicLink(kServiceLogPath, "..\\..\\..\\ZvLogElsewhere\\victim.txt", false);
         },
         [] { return zvtest::RemoveSymbolicLink(kServiceLogPath); }, victim},
        {"ZorvaneService as a symbolic link",
         [] {
             zvtest::RemoveTree(kLogFolder);
             return zvtest::MakeSymbolicLink(kLogFolder, "..\\..\\ZvLogElsewhere", true);
         },
         [] { return zvtest::RemoveSymbolicLink(kLogFolder); }, elsewhere + "\\service.log"},
        {"Tovimar as a symbolic link",
         [&] {
             zvtest::RemoveTree(kCompanyFolder);
             return zvtest::MakeFolders(elsewhere + "\\ZorvaneService") &&
                    zvtest::MakeSymbolicLink(kCompanyFolder, "..\\ZvLogElsewhere", true);
         },
         [] { return zvtest::RemoveSymbolicLink(kCompanyFolder); }, elsewhere + "\\ZorvaneService\\service.log"},
    };
    // A run that failed half-way may have left a folder link behind.
    for (const char* folder : {kCompanyFolder, kLogFolder}) {
        const DWORD attributes = GetFileAttributesA(folder);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            zvtest::RemoveSymbolicLink(folder);
    }
    for (const auto& c : cases) {
        zvtest::RemoveTree(elsewhere);
        ASSERT_TRUE(zvtest::MakeFolders(elsewhere));
        ASSERT_TRUE(zvtest::WriteFileBytes(victim, planted));
        WriteLog(L"before %S", c.name);
        ASSERT_TRUE(c.plant()) << c.name;

        WriteLog(L"through the link: %S", c.name);
        std::string bytes;
        if (c.untouched == victim) {
            ASSERT_TRUE(zvtest::ReadFileBytes(victim, bytes)) << c.name;
            EXPECT_EQ(planted, bytes) << c.name;
        } else {
            EXPECT_FALSE(zvtest::ReadFileBytes(c.untouched, bytes)) << c.name << ": " << bytes;
            EXPECT_EQ(L"", GetLogFolder()) << c.name;
        }

        ASSERT_TRUE(c.remove()) << c.name;
        LogWatch watch;
        WriteLog(L"after %S", c.name);
        EXPECT_EQ(1u, watch.Count(std::string("after ") + c.name)) << c.name;
    }
    zvtest::RemoveTree(elsewhere);
}

TEST(ServiceLog, FolderAndFileAreCreatedAgainAfterDeletion)
{
    struct Case {
        const char* removed;
    };
    const Case cases[] = {{kCompanyFolder}, {kLogFolder}, {kServiceLogPath}};
    for (const Case& c : cases) {
        if (IsFolder(c.removed))
            zvtest::RemoveTree(c.removed);
        else
            DeleteFileA(c.removed);
        ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(c.removed)) << c.removed;

        WriteLog(L"first line after removal of %s", zvtest::Widen(c.removed).c_str());
        EXPECT_TRUE(IsFolder(kLogFolder)) << c.removed;
        const std::string bytes = LogBytes();
        // One line, no byte-order mark in front of it.
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(bytes, parts, std::regex(R"((\d{4}-[^\r\n]*)\r\n)"))) << bytes;
        EXPECT_EQ(std::string("first line after removal of ") + c.removed,
                  parts[1].str().substr(wdtest::kLinePrefixLength));
    }
    EXPECT_EQ(0, lstrcmpiW(zvtest::Widen(kLogFolder).c_str(), GetLogFolder().c_str()));
}

TEST(ServiceLog, ExistingContentIsOnlyAppendedTo)
{
    GetLogFolder();
    const std::string earlier = "earlier content\r\n\xff\xfe binary and no line end";
    ASSERT_TRUE(zvtest::WriteFileBytes(kServiceLogPath, earlier));
    WriteLog(L"appended");
    WriteLog(L"appended again");
    const std::string bytes = LogBytes();
    ASSERT_EQ(earlier, bytes.substr(0, earlier.size()));
    const std::string added = bytes.substr(earlier.size());
    EXPECT_TRUE(std::regex_match(added, std::regex(R"(\d{4}-[^\r\n]{20}appended\r\n\d{4}-[^\r\n]{20}appended again\r\n)")))
        << added;
}

struct WriterTask {
    const wchar_t* marker;
    DWORD thread;
};

constexpr DWORD kWriterThreads = 8;
constexpr DWORD kLinesPerThread = 1000;

DWORD WINAPI WriteLines(LPVOID parameter)
{
    const WriterTask* task = static_cast<const WriterTask*>(parameter);
    for (DWORD n = 0; n < kLinesPerThread; ++n)
        WriteLog(L"%s t=%lu n=%lu", task->marker, task->thread, n);
    return 0;
}

// Runs the writer threads; then each thread's lines must be found in `lines`
// whole, once and in the order it wrote them.
void ExpectEveryWriterLine(const std::function<std::vector<std::string>()>& lines)
{
    const std::wstring marker = L"concurrent-" + std::to_wstring(GetTickCount());
    WriterTask tasks[kWriterThreads];
    HANDLE threads[kWriterThreads];
    for (DWORD t = 0; t < kWriterThreads; ++t) {
        tasks[t] = {marker.c_str(), t};
        threads[t] = CreateThread(nullptr, 0, WriteLines, &tasks[t], 0, nullptr);
        ASSERT_NE(nullptr, threads[t]);
    }
    WaitForMultipleObjects(kWriterThreads, threads, TRUE, INFINITE);
    for (HANDLE thread : threads)
        CloseHandle(thread);

    std::vector<DWORD> next(kWriterThreads, 0);
    size_t count = 0;
    const std::regex written(wdtest::Utf8(marker) + R"( t=(\d+) n=(\d+))");
    for (const std::string& line : lines()) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(line, parts, kLineLayout)) << line;
        const std::string message = parts[8];
        if (!std::regex_match(message, parts, written))
            continue;
        const DWORD t = static_cast<DWORD>(std::stoul(parts[1]));
        ASSERT_LT(t, kWriterThreads);
        EXPECT_EQ(next[t], std::stoul(parts[2])) << line;
        next[t] = static_cast<DWORD>(std::stoul(parts[2])) + 1;
        ++count;
    }
    EXPECT_EQ(kWriterThreads * kLinesPerThread, count);
}

TEST(ServiceLog, ConcurrentWritersLoseNoLine)
{
    LogWatch watch;
    ExpectEveryWriterLine([&] { return watch.Lines(); });
}

HANDLE OpenSharingNothing(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(ServiceLog, LinesThatMeetAReaderSharingNothingAreRetriedThenCountedAndReported)
{
    WriteLog(L"before the reader");
    LogWatch watch;
    // A reader that lets go within the second: the line waits for it.
    const ScopedHandle closer(CreateThread(nullptr, 0, [](LPVOID reader) -> DWORD { Sleep(300); return CloseHandle(reader); },
                                           OpenSharingNothing(kServiceLogPath), 0, nullptr));
    WriteLog(L"written once the reader let go");
    WaitForSingleObject(closer.get(), INFINITE);
    // One that holds on: each line is tried for about a second and then lost;
    // a stop ends the tries at once.
    const HANDLE reader = OpenSharingNothing(kServiceLogPath);
    const ULONGLONG start = GetTickCount64();
    WriteLog(L"lost");
    const ULONGLONG tried = GetTickCount64() - start;
    const ScopedHandle stop(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    StopEvent = stop.get();
    WriteLog(L"lost while stopping");
    StopEvent = nullptr;
    EXPECT_LT(GetTickCount64() - start - tried, 300u);
    EXPECT_GE(tried, 900u);
    // A stop's own first line comes before its event is set: it waits for nobody either.
    const ULONGLONG stopAt = GetTickCount64();
    CtrlHandler(SERVICE_CONTROL_STOP);
    EXPECT_LT(GetTickCount64() - stopAt, 300u);
    CloseHandle(reader);
    WriteLog(L"after the reader");
    EXPECT_EQ((std::vector<std::string>{"written once the reader let go", "Log lines lost: 3 (NtCreateFile err=32)",
                                        "after the reader"}),
              watch.Messages());
}

std::string KeptLog(int number)
{
    return std::string(kLogFolder) + "\\service." + std::to_string(number) + ".log";
}

std::vector<std::string> LinesOf(const std::string& bytes)
{
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(bytes.substr(at, end - at));
    return lines;
}

// The size limit is read at the first line of this process.
TEST(ServiceLog, AFullLogIsRotatedWhicheverThreadWritesAndNotWhileAKeptFileIsHeld)
{
    const DWORD maxMb = 1;
    const DWORD keep = 2;
    // Any line takes it past the limit.
    const std::string filler = std::string(1024 * 1024 - 20, 'f') + "\r\n";
    for (int number = 1; number <= 3; ++number)
        DeleteFileA(KeptLog(number).c_str());
    ASSERT_TRUE(zvtest::MakeFolders(kLogFolder) && zvtest::WriteFileBytes(kServiceLogPath, filler));
    ASSERT_TRUE(wdtest::SetRecordValue(REG_DWORD, &maxMb, sizeof maxMb, L"LogMaxSizeMB") &&
                wdtest::SetRecordValue(REG_DWORD, &keep, sizeof keep, L"LogKeepFiles"));
    ExpectEveryWriterLine([&] {
        const std::vector<std::string> lines = LinesOf(LogBytes());
        EXPECT_TRUE(!lines.empty() && lines[0].substr(wdtest::kLinePrefixLength) == "Log continues from service.1.log");
        return lines;
    });
    std::string kept;
    EXPECT_TRUE(zvtest::ReadFileBytes(KeptLog(1), kept) && kept == filler);

    // A kept file held open: the log grows past the limit and no line is lost.
    EXPECT_TRUE(zvtest::WriteFileBytes(kServiceLogPath, filler));
    const HANDLE reader = OpenSharingNothing(KeptLog(1));
    WriteLog(L"past the limit");
    CloseHandle(reader);
    EXPECT_EQ(filler.size() + wdtest::kLinePrefixLength + 16, LogBytes().size());
    Sleep(1100);
    WriteLog(L"rotated once the kept file is free");
    EXPECT_TRUE(zvtest::ReadFileBytes(KeptLog(2), kept) && kept == filler);
    EXPECT_TRUE(zvtest::ReadFileBytes(KeptLog(1), kept) && kept.find("  past the limit\r\n") == filler.size() + 23);
    EXPECT_EQ(2u, LinesOf(LogBytes()).size());
    // Not left behind for the tests that follow, whatever failed above.
    for (const wchar_t* name : {L"LogMaxSizeMB", L"LogKeepFiles"})
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZorvaneIS", name);
}

}  // namespace
