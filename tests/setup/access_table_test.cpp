// Every security descriptor that the system sets, evaluated by Windows' own
// AccessCheck for each principal that matters and each operation that
// matters. Wine enforces none of them on real objects, so this table is
// where a widened entry shows.
//
// How the principals are stood in for: one token serves them all, a copy of
// this process's token (CreateRestrictedToken) in which every group is
// deny-only and no privilege is left that AccessCheck would honour, made an
// impersonation token (DuplicateToken). Of what a descriptor can name, it
// holds its user SID alone. Each principal is a list of the SIDs its real
// token holds enabled; the descriptor is then rewritten for it: each SID that
// the principal holds becomes the token's user, every other one the NULL
// SID, which no token holds. AccessCheck thus matches exactly the entries,
// and the owner, that would match the principal's own token. An owner that
// the system leaves to the creator's token is the cell `owner` of the object.
// Two things Wine's AccessCheck does otherwise than Windows' stay out of the
// rows: it takes a deny-only group for an absent one, also in a denying
// entry (no principal holds one deny-only, no descriptor denies), and it
// gives an owner WRITE_OWNER too (no row asks an owner for it).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install.h"
#include "launcher_output.h"
#include "log_security.h"
#include "scoped_handle.h"
#include "security_descriptor.h"
#include "testsupport.h"

namespace {

constexpr wchar_t kSystem[] = L"S-1-5-18";
constexpr wchar_t kLocalService[] = L"S-1-5-19";

enum Principal { System, Admins, Users, Service, ServiceNoSid, OtherService, Guests, kPrincipals };

// The enabled SIDs of each principal's token, after Microsoft's account
// pages: SYSTEM holds Administrators; an elevated administrator and a
// standard user logged on at the console; LocalService holds Users,
// Authenticated Users and SERVICE, and with its service SID type the service
// SID (an SID type changed takes effect only at the next boot). A guest
// over the network holds Everyone but neither Users nor INTERACTIVE, so an
// entry widened to Everyone shows.
std::vector<std::vector<BYTE>> SidsOf(int principal)
{
    const auto with = [](std::vector<std::wstring> sids, const std::vector<std::wstring>& more) {
        sids.insert(sids.end(), more.begin(), more.end());
        return sids;
    };
    const std::vector<std::wstring> console = {L"S-1-1-0", L"S-1-2-0", L"S-1-5-4", L"S-1-5-11", L"S-1-5-32-545"};
    const std::vector<std::wstring> service = {kLocalService, L"S-1-1-0",  L"S-1-2-0",
                                               L"S-1-5-6",    L"S-1-5-11", L"S-1-5-32-545"};
    const std::vector<std::wstring> sids[kPrincipals] = {
        {kSystem, L"S-1-1-0", L"S-1-5-11", L"S-1-5-32-544"},
        with(console, {L"S-1-5-21-1-2-3-500", L"S-1-5-32-544"}),
        with(console, {L"S-1-5-21-1-2-3-1001"}),
        with(service, {ServiceSidText(kLogServiceName)}),
        service,
        with(service, {ServiceSidText(L"OtherLocalService")}),
        {L"S-1-5-21-1-2-3-501", L"S-1-1-0", L"S-1-5-2", L"S-1-5-32-546"},
    };
    std::vector<std::vector<BYTE>> bytes;
    for (const std::wstring& sid : sids[principal])
        bytes.push_back(zvtest::SidBytes(sid));
    return bytes;
}

// A descriptor rewritten for one principal, with the buffers it points into.
struct Rewritten {
    SECURITY_DESCRIPTOR descriptor;
    std::vector<BYTE> owner;
    std::vector<BYTE> acl;
};

// Generic rights in an entry are mapped as the object manager maps them when
// it stores a descriptor (Wine's AccessCheck maps them itself, Windows' does
// not). An OWNER RIGHTS entry (which Wine does not know) applies to the
// owner, whose implicit READ_CONTROL and WRITE_DAC it takes away.
bool Rewrite(PSECURITY_DESCRIPTOR source, PSID defaultOwner, const GENERIC_MAPPING& mapping,
             const std::vector<std::vector<BYTE>>& principal, const std::vector<BYTE>& held, Rewritten& out)
{
    const std::vector<BYTE> none = zvtest::SidBytes(L"S-1-0-0");
    const auto standFor = [&](PSID sid) {
        for (const std::vector<BYTE>& s : principal)
            if (EqualSid(sid, const_cast<BYTE*>(s.data())))
                return held;
        return none;
    };
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    if (!GetSecurityDescriptorOwner(source, &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(source, &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return false;
    const std::vector<BYTE> ownerStandIn = standFor(owner != nullptr ? owner : defaultOwner);
    std::vector<BYTE> ownerRights = zvtest::SidBytes(L"S-1-3-4");
    out.owner = ownerStandIn;
    out.acl.assign(sizeof(ACL) + dacl->AceCount * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE), 0);
    auto* acl = reinterpret_cast<ACL*>(out.acl.data());
    if (!InitializeAcl(acl, static_cast<DWORD>(out.acl.size()), ACL_REVISION))
        return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            return false;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        // Both types keep mask and SID at the same place.
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE)
            return false;
        if (header->AceFlags & INHERIT_ONLY_ACE)
            continue;
        const PSID sid = &allowed->SidStart;
        std::vector<BYTE> standIn = standFor(sid);
        if (EqualSid(sid, ownerRights.data())) {
            standIn = ownerStandIn;
            out.owner = none;
        }
        DWORD mask = allowed->Mask;
        MapGenericMask(&mask, const_cast<GENERIC_MAPPING*>(&mapping));
        const BOOL added = header->AceType == ACCESS_ALLOWED_ACE_TYPE
                               ? AddAccessAllowedAce(acl, ACL_REVISION, mask, standIn.data())
                               : AddAccessDeniedAce(acl, ACL_REVISION, mask, standIn.data());
        if (!added)
            return false;
    }
    return InitializeSecurityDescriptor(&out.descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorOwner(&out.descriptor, out.owner.data(), FALSE) &&
           SetSecurityDescriptorGroup(&out.descriptor, out.owner.data(), FALSE) &&
           SetSecurityDescriptorDacl(&out.descriptor, TRUE, acl, FALSE);
}

using zvtest::kFileMapping;
constexpr GENERIC_MAPPING kKeyMapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
constexpr GENERIC_MAPPING kServiceMapping = {
    STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
        SERVICE_ENUMERATE_DEPENDENTS,
    STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG,
    STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL,
    SERVICE_ALL_ACCESS};

struct Object {
    const char* name;
    std::wstring sddl;
    std::wstring owner;  // when the SDDL names none: the creator's default owner
    const GENERIC_MAPPING* mapping;
};

enum ObjectId {
    CompanyFolder,
    LogFolder,
    LogFile,
    CompanyFolderMadeByLesser,
    LogFolderMadeByLesser,
    LogFileMadeByLesser,
    RecordKey,
    ServiceEntry,
    PipeOfLocalSystem,
    PipeOfLesser,
};

std::vector<Object> Objects()
{
    // A LocalService watchdog names its service SID as the owner of the log
    // objects and the pipe it creates.
    const std::wstring sid = ServiceSidText(kLogServiceName);
    return {
        {"Tovimar folder", LogObjectSddl(LogObject::Folder, sid), L"", &kFileMapping},
        {"ZorvaneService folder", LogObjectSddl(LogObject::ServiceFolder, sid), L"", &kFileMapping},
        {"service.log", LogObjectSddl(LogObject::File, sid), L"", &kFileMapping},
        {"Tovimar folder made by LocalService", LogObjectSddl(LogObject::Folder, sid, false), sid,
         &kFileMapping},
        {"ZorvaneService folder made by LocalService", LogObjectSddl(LogObject::ServiceFolder, sid, false),
         sid, &kFileMapping},
        {"service.log made by LocalService", LogObjectSddl(LogObject::File, sid, false), sid,
         &kFileMapping},
        {"record key", kRecordKeySddl, L"", &kKeyMapping},
        // The service manager owns what it creates.
        {"service", kServiceSddl, kSystem, &kServiceMapping},
        {"output pipe of a LocalSystem watchdog", kOutputPipeSddl, kSystem, &kFileMapping},
        {"output pipe of a LocalService watchdog", OutputPipeSddl(sid), L"", &kFileMapping},
    };
}

constexpr bool G = true;   // granted
constexpr bool D = false;  // denied

struct Row {
    ObjectId object;
    const char* operation;
    DWORD access;
    bool verdict[kPrincipals];
};

// clang-format off
const Row kRows[] = {
    // Verdicts of SYSTEM, Administrators, Users, the service, its account without its SID, another
    // service of its account, Guests.
    {CompanyFolder, "list", FILE_LIST_DIRECTORY,                              {G, G, G, G, G, G, D}},
    {CompanyFolder, "create a file", FILE_ADD_FILE,                           {G, G, D, D, D, D, D}},
    {CompanyFolder, "write the DACL", WRITE_DAC,                              {G, G, D, D, D, D, D}},
    {CompanyFolder, "delete", DELETE,                                         {G, G, D, D, D, D, D}},
    {LogFolder, "list", FILE_LIST_DIRECTORY,                                  {G, G, G, G, G, G, D}},
    {LogFolder, "create a file", FILE_ADD_FILE,                               {G, G, D, G, D, D, D}},
    {LogFolder, "write the DACL", WRITE_DAC,                                  {G, G, D, D, D, D, D}},
    {LogFolder, "delete", DELETE,                                             {G, G, D, D, D, D, D}},
    {LogFile, "read", FILE_READ_DATA,                                         {G, G, D, G, D, D, D}},
    {LogFile, "append", FILE_APPEND_DATA,                                     {G, G, D, G, D, D, D}},
    {LogFile, "write the DACL", WRITE_DAC,                                    {G, G, D, D, D, D, D}},
    {LogFile, "delete", DELETE,                                               {G, G, D, D, D, D, D}},
    // Owned by the service SID: no other service of the account may change them.
    {CompanyFolderMadeByLesser, "write the DACL", WRITE_DAC,                  {G, G, D, G, D, D, D}},
    {LogFolderMadeByLesser, "write the DACL", WRITE_DAC,                      {G, G, D, G, D, D, D}},
    {LogFileMadeByLesser, "write the DACL", WRITE_DAC,                        {G, G, D, G, D, D, D}},
    {LogFileMadeByLesser, "append", FILE_APPEND_DATA,                         {G, G, D, G, D, D, D}},
    {RecordKey, "read a value", KEY_QUERY_VALUE,                              {G, G, G, G, G, G, D}},
    {RecordKey, "write a value", KEY_SET_VALUE,                               {G, G, D, D, D, D, D}},
    {RecordKey, "write the DACL", WRITE_DAC,                                  {G, G, D, D, D, D, D}},
    {RecordKey, "delete", DELETE,                                             {G, G, D, D, D, D, D}},
    {ServiceEntry, "query its status", SERVICE_QUERY_STATUS,                  {G, G, G, G, G, G, D}},
    {ServiceEntry, "start", SERVICE_START,                                    {G, G, D, D, D, D, D}},
    {ServiceEntry, "stop", SERVICE_STOP,                                      {G, G, D, D, D, D, D}},
    {ServiceEntry, "write the DACL", WRITE_DAC,                               {G, G, D, D, D, D, D}},
    {ServiceEntry, "delete", DELETE,                                          {G, G, D, D, D, D, D}},
    {PipeOfLocalSystem, "connect", GENERIC_WRITE,                             {G, G, D, D, D, D, D}},
    {PipeOfLocalSystem, "write the DACL", WRITE_DAC,                          {G, G, D, D, D, D, D}},
    // Owner rights go to the service SID: no other service of the account may connect first.
    {PipeOfLesser, "connect", GENERIC_WRITE,                                  {G, G, D, G, D, D, D}},
    {PipeOfLesser, "write the DACL", WRITE_DAC,                               {G, G, D, G, D, D, D}},
};
// clang-format on

const char* const kPrincipalNames[kPrincipals] = {"SYSTEM", "Administrators", "Users", "the service",
                                                  "the service's account without its SID",
                                                  "another service of the account", "Guests"};

TEST(AccessTable, EveryDescriptorGrantsEachPrincipalWhatItShould)
{
    std::vector<BYTE> held;
    const ScopedHandle token(zvtest::MakeStandInToken(held));
    ASSERT_TRUE(token.get() != nullptr) << GetLastError();
    const std::vector<Object> objects = Objects();
    for (const Row& row : kRows) {
        const Object& object = objects[row.object];
        const ScopedDescriptor source(DescriptorFromSddl(object.sddl.c_str()));
        ASSERT_TRUE(source.valid()) << object.name;
        std::vector<BYTE> defaultOwner = zvtest::SidBytes(object.owner.empty() ? L"S-1-0-0" : object.owner);
        for (int p = 0; p < kPrincipals; ++p) {
            Rewritten rewritten;
            ASSERT_TRUE(Rewrite(source.get(), defaultOwner.data(), *object.mapping, SidsOf(p), held, rewritten))
                << object.name;
            bool granted = false;
            ASSERT_TRUE(zvtest::AccessGranted(&rewritten.descriptor, token.get(), row.access, *object.mapping, granted))
                << object.name << " " << GetLastError();
            EXPECT_EQ(row.verdict[p], granted) << object.name << ": " << row.operation << " by " << kPrincipalNames[p];
        }
    }
}

}  // namespace
