// Checking a change of settings before it is sent, against the agent's own SetSettings table,
// and reading it back from a GetSettings reply.
#include "client/settings_change.h"

#include <gtest/gtest.h>

#include <set>

#include "handlers/agent_info.h"

namespace {

QdxReplyText Reply(const std::string& text) {
    QdxReplyText reply;
    reply.status = CallStatus::Ok;
    reply.text = text;
    return reply;
}

// The catalog's rows are the agent's names, no more and no fewer, with rules of their kind.
TEST(SettingsChange, CatalogHoldsExactlyTheAgentsNames) {
    std::set<std::string> agent, catalog;
    for (const SettingName& name : SetSettingsNames()) {
        agent.insert(name.name);
        const SettingSpec* spec = FindSetting(name.name);
        ASSERT_NE(spec, nullptr) << name.name;
        bool flag = spec->rule == SettingRule::Flag;
        bool number = spec->rule == SettingRule::Port || spec->rule == SettingRule::Milliseconds;
        bool list = spec->rule == SettingRule::FilterEntries;
        EXPECT_EQ(flag, name.kind == SettingKind::Flag) << name.name;
        EXPECT_EQ(number, name.kind == SettingKind::Number) << name.name;
        EXPECT_EQ(list, name.kind == SettingKind::List) << name.name;
    }
    for (const SettingSpec& spec : SettingNames()) catalog.insert(spec.name);
    EXPECT_EQ(agent, catalog);
}

TEST(SettingsChange, WordsAreCheckedAndStoredAsTheAgentStoresThem) {
    struct Case {
        const char* word;
        const char* wire;    // empty: refused
        const char* stored;  // or the part of the error
    } cases[] = {
        {" Comment = two words ", "Comment=two words", "two words"},
        {"Comment=a=b", "Comment=a=b", "a=b"},
        {"Timeout=0", "Timeout=0", "4000"},
        {"Timeout=250", "Timeout=250", "250"},
        {"Port=65535", "Port=65535", "65535"},
        {"Folder Size=0", "Folder Size=0", "0"},
        {"IPFilterAddr=10.0.0.1, 10.0.0.2 10.0.0.3", "IPFilterAddr=10.0.0.1%0D%0A10.0.0.2%0D%0A10.0.0.3",
         "10.0.0.1\r\n10.0.0.2\r\n10.0.0.3"},
        {"ManageAddr=10.0.0.1, 10.0.0.5-10.0.0.9", "ManageAddr=10.0.0.1, 10.0.0.5-10.0.0.9",
         "10.0.0.1, 10.0.0.5-10.0.0.9"},
        {"ManageAddr=", "ManageAddr=", ""},
        {"IPFilterMarks=101", "IPFilterMarks=101", "101"},
        {"folder size=1", "", "did you mean \"Folder Size\"?"},
        {"Shell Script=0", "", "no setting \"Shell Script\""},
        {"Port=65536", "", "give a port from 1 to 65535"},
        {"Port= 12a", "", "Port=12a: give a port"},
        {"Timeout=-1", "", "give milliseconds"},
        {"Timeout=99999999999", "", "give milliseconds"},
        {"TCP=true", "", "give 0 or 1"},
        {"Password=  ", "", "cannot be empty"},
        {"UpdateAddr=10.0.0.1;10.0.0.2", "", "is not an address, a range a-b or a prefix"},
        {"UpdateAddr=::1-10.0.0.1", "", "is not an address, a range a-b or a prefix"},
        {"ManageAddr=127.0.0.1, ::1, 2001:db8::/32", "ManageAddr=127.0.0.1, ::1, 2001:db8::/32",
         "127.0.0.1, ::1, 2001:db8::/32"},
        {"IPFilterAddr=host.example", "", "is not an address"},
        {"IPFilterAddr=127.0.0.1 ::1", "IPFilterAddr=127.0.0.1%0D%0A::1", "127.0.0.1\r\n::1"},
        {"Comment=a\nb", "", "cannot hold a line break"},
        {"Comment", "", "is not NAME=VALUE"},
    };
    for (const Case& c : cases) {
        SettingChange change;
        std::string error;
        bool ok = ParseSettingWord(c.word, change, error);
        if (*c.wire != '\0') {
            EXPECT_TRUE(ok) << c.word << ": " << error;
            EXPECT_EQ(change.wire, c.wire) << c.word;
            EXPECT_EQ(change.stored, c.stored) << c.word;
        } else {
            EXPECT_FALSE(ok) << c.word;
            EXPECT_NE(error.find(c.stored), std::string::npos) << c.word << ": " << error;
        }
    }
}

TEST(SettingsChange, ReadsBackFromGetSettings) {
    QdxReplyText reply = Reply(
        "200\nAvailable tests=TCP%0D%0AFolder Size%0D%0A\nEnabled tests=10\nTimeout=4000\n"
        "Available actions=Syslog%0D%0A\nEnabled actions=1\nPassword=secret\n"
        "IPFilterAddr=10.0.0.1%0D%0A10.0.0.2\n\r");
    struct Case {
        const char* name;
        const char* value;  // null: not reported
    } cases[] = {{"TCP", "1"},           {"Folder Size", "0"}, {"Syslog", "1"},
                 {"Timeout", "4000"},    {"Password", "secret"},
                 {"IPFilterAddr", "10.0.0.1\r\n10.0.0.2"},
                 {"Ping", nullptr},      {"Comment", nullptr}};
    for (const Case& c : cases) {
        std::string value;
        bool reported = ReportedSetting(reply, c.name, value);
        EXPECT_EQ(reported, c.value != nullptr) << c.name;
        if (c.value != nullptr) {
            EXPECT_EQ(value, c.value) << c.name;
        }
    }
    MaskPassword(reply);
    EXPECT_NE(reply.text.find("\nPassword=********\n"), std::string::npos);
    EXPECT_EQ(reply.text.find("secret"), std::string::npos);
}

}  // namespace
