// The Windows services themselves, under Wine: the executable's resources,
// named mutexes, the kernel event, and winmm as the system has it here.
#include "platform/event.h"
#include "platform/instance_lock.h"
#include "platform/midi_system.h"
#include "platform/resources.h"
#include "platform/system_midi.h"
#include "platform/windows/winmm_midi.h"
#include "q9_firmware_build.h"
#include "resources/string_table.h"

#include <windows.h>
#undef FindResource

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(WindowsResources, TheSixImagesAreBinResourcesWithTheBuildsBytes)
{
    for (std::uint32_t id : {129u, 133u, 136u, 139u, 142u, 147u}) {
        const platform::Resource* image = platform::FindResource("BIN", id);
        ASSERT_NE(image, nullptr) << id;
        const auto expected = ReadFile(std::string(Q9_FIRMWARE_IMAGE_DIR) + "/" + std::to_string(id) + ".bin");
        ASSERT_EQ(image->size, expected.size()) << id;
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image->data)) << id;
        EXPECT_EQ(platform::FindResource("BIN", id), image);   // found once, handed out again
    }
    EXPECT_EQ(platform::FindResource("BIN", 130), nullptr);
    EXPECT_EQ(platform::FindResource("BIN", 0x10000 + 129), nullptr);
    EXPECT_EQ(platform::FindResource("TXT", 129), nullptr);
}

TEST(WindowsResources, TheStringTableSaysWhatTheProgramsTableSays)
{
    HMODULE self = ::GetModuleHandleA(nullptr);
    for (std::uint32_t id = 90; id < 140; ++id) {
        wchar_t text[256] = {};
        const int length = ::LoadStringW(self, id, text, 256);
        const std::string expected = LoadStringById(id);
        std::string got;
        for (int i = 0; i < length; ++i) got += static_cast<char>(text[i]);   // the texts are ASCII
        EXPECT_EQ(got, expected) << id;
    }
}

TEST(WindowsResources, IconManifestAndVersionAreThere)
{
    HMODULE self = ::GetModuleHandleA(nullptr);
    EXPECT_NE(::FindResourceA(self, MAKEINTRESOURCEA(128), RT_GROUP_ICON), nullptr);
    HRSRC manifest = ::FindResourceA(self, MAKEINTRESOURCEA(1), RT_MANIFEST);
    ASSERT_NE(manifest, nullptr);
    const char* text = static_cast<const char*>(::LockResource(::LoadResource(self, manifest)));
    const std::string xml(text, ::SizeofResource(self, manifest));
    EXPECT_NE(xml.find("Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(xml.find("PerMonitorV2"), std::string::npos);
    EXPECT_NE(::FindResourceA(self, MAKEINTRESOURCEA(1), RT_VERSION), nullptr);
}

TEST(WindowsServices, ANamedMutexIsTakenOnceAndFreedByItsHolder)
{
    const std::string name = "q9 test lock " + std::to_string(::GetCurrentProcessId());
    platform::NamedLock first;
    platform::NamedLock second;
    ASSERT_TRUE(first.TryAcquire(name));
    EXPECT_FALSE(second.TryAcquire(name));   // ERROR_ALREADY_EXISTS
    EXPECT_FALSE(second.Held());
    platform::NamedLock moved = std::move(first);
    EXPECT_TRUE(moved.Held());
    EXPECT_FALSE(first.Held());
    moved.Release();
    EXPECT_TRUE(second.TryAcquire(name));
    EXPECT_FALSE(first.TryAcquire("a\\b"));
    EXPECT_FALSE(first.TryAcquire(""));
}

TEST(WindowsServices, TheKernelEventResetsItselfWhenAWaitTakesIt)
{
    platform::Event event;
    EXPECT_FALSE(event.Wait(0));
    EXPECT_FALSE(event.Wait(5));
    event.Set();
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.IsSet());   // looking does not take it
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

TEST(WindowsServices, WinmmHereListsNoDevicesAndOpensNone)
{
    platform::WinmmMidi winmm(platform::SystemWinmmCalls());
    EXPECT_EQ(winmm.InGetNumDevs(), 0u);
    EXPECT_EQ(winmm.OutGetNumDevs(), 0u);
    platform::HMIDIIN in = 0;
    EXPECT_NE(winmm.InOpen(&in, 0, nullptr, 0, platform::CALLBACK_NULL), platform::MMSYSERR_NOERROR);
    EXPECT_EQ(in, 0u);
    platform::MIDIOUTCAPSA caps;
    EXPECT_NE(winmm.OutGetDevCaps(0, &caps, sizeof caps), platform::MMSYSERR_NOERROR);

    platform::MidiSystem system;
    platform::AddSystemBackends(system);
    EXPECT_EQ(system.BackendCount(), 1u);
    EXPECT_EQ(system.InGetNumDevs(), 0u);
}

}  // namespace
