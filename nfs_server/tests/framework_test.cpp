// The thread and registry classes that stand in for the class library's.
#include "framework/Registry.h"
#include "framework/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace {

class TCountingThread : public TThread {
public:
    TCountingThread() : TThread(true) {}
    ~TCountingThread() override
    {
        if (Started()) {
            Terminate();
            WaitFor();
        }
    }
    std::atomic<int> Turns{0};

protected:
    void Execute() override
    {
        while (!Terminated()) {
            ++Turns;
            Sleep(1);
        }
    }
};

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Path = "Software\\SeldrixFrameworkTest-" + std::to_string(GetCurrentProcessId());
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, Path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                                 &key, nullptr));
        const char text[] = "C:\\served";
        DWORD number = 65001;
        RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE *>(text), sizeof text);
        RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), sizeof number);
        RegCloseKey(key);
    }
    void TearDown() override { RegDeleteKeyA(HKEY_CURRENT_USER, Path.c_str()); }

    std::string Path;
};

}  // namespace

TEST(Thread, RunsOnlyOnceResumedAndEndsWhenTerminated)
{
    TCountingThread thread;
    Sleep(20);
    EXPECT_EQ(0, thread.Turns.load()) << "created suspended";
    EXPECT_TRUE(thread.Suspended());
    thread.Resume();
    for (int i = 0; i < 200 && thread.Turns.load() == 0; ++i) Sleep(5);
    EXPECT_GT(thread.Turns.load(), 0);
    thread.Terminate();
    thread.WaitFor();
    int turns = thread.Turns.load();
    Sleep(20);
    EXPECT_EQ(turns, thread.Turns.load());
}

// Reports, after its object is gone, whether the system thread ended and whether its body ever ran.
class TWatchedThread : public TThread {
public:
    explicit TWatchedThread(std::atomic<bool> &ran) : TThread(true), Ran(ran)
    {
        DuplicateHandle(GetCurrentProcess(), ThreadHandle(), GetCurrentProcess(), &Watch, SYNCHRONIZE, FALSE, 0);
    }
    HANDLE Watch = nullptr;

protected:
    void Execute() override { Ran = true; }

private:
    std::atomic<bool> &Ran;
};

TEST(Thread, ANeverResumedThreadEndsWithItsObject)
{
    std::atomic<bool> ran{false};
    auto thread = std::make_unique<TWatchedThread>(ran);
    HANDLE watch = thread->Watch;
    ASSERT_NE(nullptr, watch);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(watch, 0)) << "suspended, not ended";
    thread.reset();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watch, 0)) << "the system thread ended with the object";
    EXPECT_FALSE(ran.load()) << "without running its body";
    CloseHandle(watch);
}

// A number of another type or size is no number: a part of it would be read as the whole.
TEST_F(RegistryTest, ANumberOfAnotherTypeOrSizeRaises)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, Path.c_str(), 0, KEY_WRITE, &key));
    struct TCase {
        DWORD Type, Size;
    };
    const BYTE bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (const TCase &c : {TCase{REG_DWORD, 0}, TCase{REG_DWORD, 2}, TCase{REG_DWORD, 8}, TCase{REG_BINARY, 4},
                           TCase{REG_DWORD_BIG_ENDIAN, 4}, TCase{REG_QWORD, 8}, TCase{REG_MULTI_SZ, 4}}) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Odd", 0, c.Type, bytes, c.Size));
        TRegistry registry(HKEY_CURRENT_USER);
        ASSERT_TRUE(registry.OpenKeyReadOnly("\\" + Path));
        try {
            registry.ReadInteger("Odd");
            ADD_FAILURE() << "no exception for type " << c.Type << ", " << c.Size << " bytes";
        } catch (const std::runtime_error &error) {
            EXPECT_STREQ("Invalid data type for 'Odd'", error.what());
        }
    }
    RegCloseKey(key);
}

TEST_F(RegistryTest, ReadsValuesOfTheirTypeAndRaisesForAnotherType)
{
    TRegistry registry(HKEY_CURRENT_USER);
    ASSERT_TRUE(registry.OpenKeyReadOnly("\\" + Path));
    EXPECT_TRUE(registry.ValueExists("Text"));
    EXPECT_FALSE(registry.ValueExists("Missing"));
    EXPECT_EQ("C:\\served", registry.ReadString("Text"));
    EXPECT_EQ(65001u, registry.ReadInteger("Number"));
    try {
        registry.ReadString("Number");
        FAIL() << "no exception";
    } catch (const std::runtime_error &error) {
        EXPECT_STREQ("Invalid data type for 'Number'", error.what());
    }
    try {
        registry.ReadInteger("Text");
        FAIL() << "no exception";
    } catch (const std::runtime_error &error) {
        EXPECT_STREQ("Invalid data type for 'Text'", error.what());
    }
    EXPECT_FALSE(TRegistry(HKEY_CURRENT_USER).OpenKeyReadOnly(Path + "\\Missing"));
}
