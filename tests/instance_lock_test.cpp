// Named locks held for the life of a process, and the instance rule built
// on them.
#include "app/instance.h"
#include "app/pel_updator_dlg.h"
#include "platform/instance_lock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

class InstanceLockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/q9-lock-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) saved = old;
        ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    }
    void TearDown() override
    {
        if (saved.empty()) {
            ::unsetenv("XDG_RUNTIME_DIR");
        } else {
            ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
        }
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    static unsigned Mode(const std::string& path)
    {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }
    std::string dir;
    std::string saved;
};

TEST_F(InstanceLockTest, ALockIsHeldUntilReleasedOrMovedAway)
{
    platform::NamedLock a;
    platform::NamedLock b;
    ASSERT_TRUE(a.TryAcquire("ARKO Q9 System v1.20 Updater"));
    EXPECT_TRUE(a.Held());
    EXPECT_FALSE(b.TryAcquire("ARKO Q9 System v1.20 Updater"));   // each holder opens the file anew
    EXPECT_FALSE(b.Held());
    EXPECT_TRUE(b.TryAcquire("ARKO Q9 System v1.20 Updater (2)"));

    platform::NamedLock moved(std::move(a));
    EXPECT_FALSE(a.Held());
    EXPECT_TRUE(moved.Held());
    platform::NamedLock c;
    EXPECT_FALSE(c.TryAcquire("ARKO Q9 System v1.20 Updater"));
    moved.Release();
    EXPECT_TRUE(c.TryAcquire("ARKO Q9 System v1.20 Updater"));

    EXPECT_FALSE(c.TryAcquire(""));   // taking another name gives up the first
    EXPECT_FALSE(c.Held());
    EXPECT_TRUE(moved.TryAcquire("ARKO Q9 System v1.20 Updater"));
}

TEST_F(InstanceLockTest, TheFolderIsPrivateAndNamesStayInsideIt)
{
    const std::string folder = platform::NamedLock::Folder();
    EXPECT_EQ(folder, dir + "/q9-updater");
    EXPECT_EQ(Mode(folder), 0700u);

    platform::NamedLock slash;
    platform::NamedLock escaped;
    platform::NamedLock dots;
    ASSERT_TRUE(slash.TryAcquire("../a/b"));
    ASSERT_TRUE(escaped.TryAcquire("..%2Fa%2Fb"));   // not the same file as "../a/b"
    ASSERT_TRUE(dots.TryAcquire(".."));
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path().filename().string());
    EXPECT_EQ(files.size(), 3u);
    for (const auto& entry : fs::directory_iterator(dir)) EXPECT_EQ(entry.path().filename(), "q9-updater");
    EXPECT_EQ(Mode(folder + "/%2E.%2Fa%2Fb.lock"), 0600u);
}

TEST_F(InstanceLockTest, AFolderOfOursWithWiderAccessIsNarrowed)
{
    const std::string folder = dir + "/q9-updater";
    ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    EXPECT_EQ(platform::NamedLock::Folder(), folder);
    EXPECT_EQ(Mode(folder), 0700u);
}

TEST_F(InstanceLockTest, ALinkOrAnotherUsersFolderIsRefused)
{
    const std::string folder = dir + "/q9-updater";
    const std::string elsewhere = dir + "/elsewhere";
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), folder.c_str()), 0);
    const std::string fallback = "/tmp/q9-updater-" + std::to_string(::geteuid());
    EXPECT_EQ(platform::NamedLock::Folder(), fallback);

    if (::geteuid() != 0) GTEST_SKIP() << "changing a folder's owner needs root";
    ASSERT_EQ(::unlink(folder.c_str()), 0);
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_EQ(platform::NamedLock::Folder(), fallback);

    // Without a usable runtime folder the private one under /tmp serves.
    ::setenv("XDG_RUNTIME_DIR", "relative/path", 1);
    EXPECT_EQ(platform::NamedLock::Folder(), fallback);
}

TEST_F(InstanceLockTest, TheOperatingSystemFreesALockWhenItsProcessEnds)
{
    int toChild[2];
    int fromChild[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(fromChild), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(toChild[1]);
        ::close(fromChild[0]);
        platform::NamedLock lock;
        const char held = lock.TryAcquire(ApplicationTitle(1)) ? 'y' : 'n';
        (void)!::write(fromChild[1], &held, 1);
        char wait;
        (void)!::read(toChild[0], &wait, 1);   // until the parent closes its end
        ::_exit(0);                            // no release: the process just ends
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    char held = 0;
    ASSERT_EQ(::read(fromChild[0], &held, 1), 1);
    EXPECT_EQ(held, 'y');

    platform::NamedLock lock;
    EXPECT_EQ(ReserveInstanceNumber(lock), 2);
    ::close(toChild[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::close(fromChild[0]);

    platform::NamedLock again;
    EXPECT_EQ(ReserveInstanceNumber(again), 1);
}

TEST_F(InstanceLockTest, TheFirstFreeNumberWinsAndTheTwentyFirstGetsNone)
{
    platform::NamedLock one;
    platform::NamedLock three;
    ASSERT_TRUE(one.TryAcquire(ApplicationTitle(1)));
    ASSERT_TRUE(three.TryAcquire(ApplicationTitle(3)));
    platform::NamedLock lock;
    EXPECT_EQ(ReserveInstanceNumber(lock), 2);
    EXPECT_TRUE(lock.Held());

    std::vector<platform::NamedLock> rest(kMaxInstances);
    for (int n = 4; n <= kMaxInstances; ++n) EXPECT_EQ(ReserveInstanceNumber(rest[static_cast<std::size_t>(n) - 1]), n);
    platform::NamedLock refused;
    EXPECT_EQ(ReserveInstanceNumber(refused), 0);
    EXPECT_FALSE(refused.Held());
    EXPECT_EQ(InstanceRefusalText(), "It is forbidden to launch more than 20 instance of this application.");

    three.Release();
    EXPECT_EQ(ReserveInstanceNumber(refused), 3);
}

}  // namespace
