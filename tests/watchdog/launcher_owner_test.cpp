// Which launcher processes count as the server: the decision on a token's
// user and groups as data.
#include "launcher_owner.h"

#include <gtest/gtest.h>

#include <vector>

#include "testsupport.h"

namespace {

constexpr DWORD kEnabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
constexpr wchar_t kLocalService[] = L"S-1-5-19";
constexpr wchar_t kUser[] = L"S-1-5-21-1-2-3-1001";

// The SID of `text`; empty for null.
std::vector<BYTE> SidBytes(const wchar_t* text) { return zvtest::SidBytes(text != nullptr ? text : L""); }

PSID SidOf(std::vector<BYTE>& bytes) { return bytes.empty() ? nullptr : bytes.data(); }

TEST(LauncherOwner, CountsSystemTheServiceAccountAndAdministrators)
{
    struct Group {
        const wchar_t* sid;
        DWORD attributes;
    };
    struct Case {
        const wchar_t* user;  // null: the token could not be read
        std::vector<Group> groups;
        const wchar_t* serviceUser;
        bool counts;
    };
    const Case cases[] = {
        {L"S-1-5-18", {}, kLocalService, true},
        {kLocalService, {{L"S-1-5-6", kEnabled}}, kLocalService, true},
        {kLocalService, {{L"S-1-5-6", kEnabled}}, L"S-1-5-18", false},
        {L"S-1-5-20", {{L"S-1-5-6", kEnabled}}, kLocalService, false},
        {kUser, {{L"S-1-5-32-545", kEnabled}, {L"S-1-5-4", kEnabled}}, L"S-1-5-18", false},
        {kUser, {{L"S-1-5-32-545", kEnabled}, {L"S-1-5-32-544", kEnabled | SE_GROUP_OWNER}}, L"S-1-5-18", true},
        // An administrator's unelevated console.
        {kUser, {{L"S-1-5-32-544", SE_GROUP_USE_FOR_DENY_ONLY}}, L"S-1-5-18", true},
        {kUser, {{L"S-1-5-32-544", 0}}, L"S-1-5-18", false},
        {kUser, {{L"S-1-5-21-1-2-3-512", kEnabled}, {L"S-1-5-32-547", kEnabled}}, L"S-1-5-18", false},
        {kUser, {}, nullptr, false},
        {L"S-1-5-18", {}, nullptr, true},
        {nullptr, {{L"S-1-5-32-544", kEnabled}}, L"S-1-5-18", false},
    };
    for (const Case& c : cases) {
        // Moving a SID's bytes to a larger list keeps them where they are.
        std::vector<std::vector<BYTE>> sids;
        std::vector<SID_AND_ATTRIBUTES> groups;
        for (const Group& g : c.groups) {
            sids.push_back(SidBytes(g.sid));
            groups.push_back({sids.back().data(), g.attributes});
        }
        std::vector<BYTE> user = SidBytes(c.user);
        std::vector<BYTE> serviceUser = SidBytes(c.serviceUser);
        EXPECT_EQ(c.counts, CountsAsServer(SidOf(user), groups.data(), static_cast<DWORD>(groups.size()),
                                           SidOf(serviceUser)))
            << zvtest::Narrow(c.user ? c.user : L"(unread)") << " groups " << groups.size();
    }
}

TEST(LauncherOwner, LogsAnIgnoredProcessOnce)
{
    std::vector<ProcessKey> seen;
    EXPECT_TRUE(FirstSighting(seen, {40, 1000}));
    EXPECT_FALSE(FirstSighting(seen, {40, 1000}));
    // The id again, for another process.
    EXPECT_TRUE(FirstSighting(seen, {40, 2000}));
    EXPECT_TRUE(FirstSighting(seen, {41, 1000}));
}

}  // namespace
