// Enumeration and stable ids against the simulated port. Expected ids are SHA-256 digests of
// the identity texts computed independently (sha256sum), never with the code under test.
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/kit/thrown.h"
#include "tests/winmm/sim.h"
#include "winmm/devices.h"

namespace {

using mtcservice::Device;
using mtcservice::deviceAt;
using mtcservice::devices;
using winmmtest::Simport;

const std::string kNoStableId = u8"MIDI 输出接口缺少稳定设备标识，请检查 USB MIDI 驱动。";

class Enumeration : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(sim.active()) << "the simulated winmm.dll is not loaded"; }

    std::string idOf(unsigned index) { return deviceAt(index).id; }

    Simport sim;
};

std::string deviceAtFailure(unsigned index) {
    return mtctest::thrownMessage([&] { deviceAt(index); }, "(no exception)");
}

bool wellFormedId(const std::string& id) {
    if (id.size() != 70 || id.compare(0, 6, "winmm:") != 0) {
        return false;
    }
    return id.find_first_not_of("0123456789abcdef", 6) == std::string::npos;
}

TEST_F(Enumeration, eachIdIsTheSha256OfThePrefixPathNameAndFourNumbers) {
    struct Case {
        const char* port;
        const char* id;
        const char* name;
    };
    const Case cases[] = {
        // "velmarcast-winmm-v1\n\\?\usb#...\global\nUM-ONE\n1:102:256:1"
        {R"(port name="UM-ONE" path="\\?\usb#vid_0582&pid_0044#5&1a2b3c4d&0&2#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\global")",
         "winmm:b05b87a566a60ef355294d1f3718f849910ef4de6fd526f0121183d73dff7821", "UM-ONE"},
        // "...\n\\?\swd#sim#b\n中 MIDI\n65535:0:4294967295:7": UTF-8 name, whole 32-bit version
        {R"(port name="%E4%B8%AD MIDI" path="\\?\swd#sim#b" mid=65535 pid=0 version=0xFFFFFFFF tech=7)",
         "winmm:d59ac5b8a97380de04d0f1f9cc626868eae6af053131ff9fee136ed728b786e9", u8"中 MIDI"},
        // "...\n\\?\swd#sim#c\n\n1:102:1281:1": empty name hashed as empty, shown as the default
        {R"(port name="" path="\\?\swd#sim#c" version=0x0501)",
         "winmm:f2e09f55fd059b64c75103310abf59d8d8774dcbc37f55ab19ff3e15bdd2225e", u8"MIDI 输出"},
        // 32 characters filling szPname with no NUL: all 32 are used
        {R"(port name="abcdefghijklmnopqrstuvwxyz012345" path="\\?\swd#sim#d")",
         "winmm:39a45717161fbae8739b71895b6e2cdc817ff9961207572a2e66f0d8c261e498",
         "abcdefghijklmnopqrstuvwxyz012345"},
        // the name ends at its first NUL
        {R"(port name="Ab%u0000cd" path="\\?\swd#sim#e")",
         "winmm:220f6f38612904ba21c2d009c93f419f4cdbd6f7c864f05c326ae19ebe16eb28", "Ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        ASSERT_TRUE(sim.load(c.port));
        const std::vector<Device> list = devices();
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].index, 0u);
        EXPECT_EQ(list[0].id, c.id);
        EXPECT_EQ(list[0].name, c.name);
        EXPECT_EQ(idOf(0), c.id);
    }
}

TEST_F(Enumeration, upTo1024OutputsAreListedInIndexOrderWithWellFormedUniqueIds) {
    for (unsigned count : {0u, 1u, 1024u}) {
        SCOPED_TRACE(count);
        ASSERT_TRUE(sim.load(count == 0 ? std::string() : "port count=" + std::to_string(count)));
        const std::vector<Device> list = devices();
        ASSERT_EQ(list.size(), count);
        std::set<std::string> ids;
        for (unsigned i = 0; i < count; ++i) {
            EXPECT_EQ(list[i].index, i);
            EXPECT_TRUE(wellFormedId(list[i].id)) << list[i].id;
            ids.insert(list[i].id);
        }
        EXPECT_EQ(ids.size(), count);
    }
}

TEST_F(Enumeration, moreThan1024OutputsAreRefusedAsAnInvalidList) {
    ASSERT_TRUE(sim.load("port count=1025"));
    try {
        devices();
        ADD_FAILURE() << "1025 outputs were listed";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), u8"MIDI 设备列表无效，请重新刷新设备。");
    }
}

TEST_F(Enumeration, portsThatShareAnIdentityAreAllLeftOutWhileDistinctOnesStay) {
    struct Case {
        const char* scenario;
        std::vector<unsigned> listedIndices;
    };
    const Case cases[] = {
        {"port count=2 name=\"Twin\" path=\"\\\\?\\twin\"\nport name=\"Solo\"", {2}},
        {"port name=\"Twin\" path=\"\\\\?\\twin\"\nport name=\"Solo\"\n"
         "port name=\"Twin\" path=\"\\\\?\\twin\"",
         {1}},
        {"port count=3 name=\"Twin\" path=\"\\\\?\\twin\"", {}},
        // same path and name, another driver version: distinct
        {"port name=\"Twin\" path=\"\\\\?\\twin\"\nport name=\"Twin\" path=\"\\\\?\\twin\" "
         "version=0x0101",
         {0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        ASSERT_TRUE(sim.load(c.scenario));
        std::vector<unsigned> listed;
        for (const Device& device : devices()) {
            listed.push_back(device.index);
        }
        EXPECT_EQ(listed, c.listedIndices);
    }
}

TEST_F(Enumeration, aPortWithoutAUsableInterfacePathHasNoIdAndIsNotListed) {
    const char* const badPorts[] = {
        "port size=0",
        "port size=1",
        "port size=33",
        "port size=32770",
        "port size=40000",
        "port size=0xFFFFFFFE",
        "port nul=no",
        "port path=none",
        "port pathresult=1",
        "port size=2",  // the buffer holds the path's first character and no NUL
        // An odd size one byte above the path's 12 with its NUL: the buffer would hold it all.
        "port path=\"\\\\?\\p\" size=13",
    };
    for (const char* bad : badPorts) {
        SCOPED_TRACE(bad);
        ASSERT_TRUE(sim.load(std::string(bad) + "\nport name=\"Good\""));
        const std::vector<Device> list = devices();
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].index, 1u);
        EXPECT_EQ(deviceAtFailure(0), kNoStableId);
    }
}

TEST_F(Enumeration, theSizeTheDriverReportsDoesNotChangeTheIdOfAGoodPath) {
    const char* const sizes[] = {"", " size=32768", " size=200"};
    std::set<std::string> ids;
    for (const char* size : sizes) {
        SCOPED_TRACE(size);
        ASSERT_TRUE(sim.load(std::string("port path=\"\\\\?\\p\"") + size));
        ids.insert(idOf(0));
    }
    EXPECT_EQ(ids.size(), 1u);
}

TEST_F(Enumeration, aPortWhoseCapabilitiesFailIsSkippedAndNamesTheWinMMCode) {
    ASSERT_TRUE(sim.load("port\nport\nfault caps port=0 code=6"));
    const std::vector<Device> list = devices();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].index, 1u);
    EXPECT_EQ(deviceAtFailure(0), u8"无法读取 MIDI 输出设备 (WinMM 6)");
    EXPECT_EQ(deviceAtFailure(2), u8"无法读取 MIDI 输出设备 (WinMM 2)");
}

TEST_F(Enumeration, aPortKeepsItsIdAtAnotherIndexAndAfterBeingPluggedInAgain) {
    ASSERT_TRUE(
        sim.load("port name=\"A\" path=\"\\\\?\\a\"\nport name=\"B\" path=\"\\\\?\\b\"\n"
                 "port name=\"C\" path=\"\\\\?\\c\""));
    const std::string a = idOf(0), b = idOf(1), c = idOf(2);

    ASSERT_TRUE(sim.apply("fault reorder order=2,0,1"));
    EXPECT_EQ(idOf(0), c);
    EXPECT_EQ(idOf(1), a);
    EXPECT_EQ(idOf(2), b);

    ASSERT_TRUE(sim.apply("fault detach port=1"));  // A leaves; B moves down to index 1
    EXPECT_EQ(idOf(1), b);
    ASSERT_TRUE(sim.apply("port name=\"A\" path=\"\\\\?\\a\""));  // A comes back at the end
    EXPECT_EQ(idOf(2), a);
}

TEST_F(Enumeration, aChangeOfAnyReportedPropertyGivesANewId) {
    const char* const changes[] = {"version=0x0200", "mid=2",      "pid=103",
                                   "tech=2",         "name=\"B\"", "path=\"\\\\?\\other\""};
    for (const char* change : changes) {
        SCOPED_TRACE(change);
        ASSERT_TRUE(sim.load("port name=\"A\" path=\"\\\\?\\a\""));
        const std::string before = idOf(0);
        ASSERT_TRUE(sim.apply(std::string("fault change port=0 ") + change));
        const std::string after = idOf(0);
        EXPECT_NE(after, before);
        EXPECT_TRUE(wellFormedId(after)) << after;
    }
}

TEST(Check, aFailingResultThrowsTheTextWithTheWinMMCodeInDecimal) {
    struct Case {
        unsigned result;
        const char* text;
        const char* message;  // null: nothing thrown
    };
    const Case cases[] = {
        {0, "x", nullptr},
        {11, u8"无法读取 MIDI 输出设备", u8"无法读取 MIDI 输出设备 (WinMM 11)"},
        {4294967295u, "x", "x (WinMM 4294967295)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        try {
            mtcservice::check(c.result, c.text);
            EXPECT_EQ(c.message, nullptr);
        } catch (const std::runtime_error& e) {
            ASSERT_NE(c.message, nullptr);
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

TEST(Utf8, wideTextBecomesTheSameCharactersInUtf8) {
    struct Case {
        std::wstring wide;
        std::string bytes;
    };
    const Case cases[] = {
        {L"", ""},
        {L"MIDI 1", "MIDI 1"},
        {std::wstring(1, wchar_t(0x4E2D)), "\xE4\xB8\xAD"},                    // 中
        {std::wstring{wchar_t(0xD83C), wchar_t(0xDFB9)}, "\xF0\x9F\x8E\xB9"},  // U+1F3B9
        {std::wstring(L"a\0b", 3), std::string("a\0b", 3)},                    // whole length
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mtcservice::utf8(c.wide), c.bytes);
    }
}

}  // namespace
