// Stat, FStat, SetStat and FSetStat through a provider over a fresh root,
// and on Linux a way to run a scenario as the unprivileged user nobody.
#pragma once

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <functional>
#include <string>

#include "file_ops_support.h"
#ifndef _WIN32
#include "platform/security_test_support.h"
#endif

namespace kiln::KilnSfsWin::test {

#ifndef _WIN32
inline constexpr uid_t kNobody = 65534;
#endif

class AttrsTest : public FileOpsTest {
  protected:
    void SetUp() override { Start({{u"PosixPermissions", u"Yes"}}); }

    Exchange Stat(std::u16string_view path, uint32_t flags, bool follow = true) {
        auto stat = MakeRef<QtSfsStat>();
        stat->m_path = MakeStr(path);
        stat->m_flags = flags;
        stat->m_followSymlink = follow;
        return Ask(SfsRequest::Stat, stat);
    }
    Exchange FStat(const RefPtr<QtBytes>& handle, uint32_t flags) {
        auto stat = MakeRef<QtSfsFStat>();
        stat->m_handle = handle;
        stat->m_flags = flags;
        return Ask(SfsRequest::FStat, stat);
    }
    Exchange SetStat(std::u16string_view path, RefPtr<QtSfsAttrs> attrs) {
        auto set = MakeRef<QtSfsSetStat>();
        set->m_path = MakeStr(path);
        set->m_attrs = std::move(attrs);
        return Ask(SfsRequest::SetStat, set);
    }
    Exchange FSetStat(const RefPtr<QtBytes>& handle, RefPtr<QtSfsAttrs> attrs) {
        auto set = MakeRef<QtSfsFSetStat>();
        set->m_handle = handle;
        set->m_attrs = std::move(attrs);
        return Ask(SfsRequest::FSetStat, set);
    }
    // The record of an Attrs answer; null for anything else.
    static RefPtr<QtSfsAttrs> Attrs(const Exchange& exchange) {
        auto* attrs = exchange.response
                          ? dynamic_cast<QtSfsAttrs*>(exchange.response->m_content.get())
                          : nullptr;
        return RefPtr<QtSfsAttrs>(attrs);
    }
#ifndef _WIN32  // POSIX modes and owners, and the Unix user nobody
    struct stat DiskStat(std::string_view sfsPath, bool follow = true) const {
        struct stat st {};
        std::string path = Disk(sfsPath);
        EXPECT_EQ(follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st), 0) << path;
        return st;
    }
    // Lets nobody reach the root (mkdtemp makes it 0700).
    void OpenRootToAll() const {
        chmod(m_root.LinuxPath().c_str(), 0755);
    }
#endif
    DiskFacts Facts(std::string_view sfsPath, bool follow = true) const {
        std::optional<DiskFacts> facts = ReadDiskFacts(Disk(sfsPath), follow);
        EXPECT_TRUE(facts) << Disk(sfsPath);
        return facts.value_or(DiskFacts{});
    }
};

inline RefPtr<QtSfsAttrs> NewAttrs(uint32_t flags) {
    auto attrs = MakeRef<QtSfsAttrs>();
    attrs->m_validAttrFlags = flags;
    return attrs;
}

inline RefPtr<QtSfsAce> NewAce(SfsAceType type, uint32_t mask, std::u16string_view who,
                               uint32_t flags = 0) {
    auto ace = MakeRef<QtSfsAce>();
    ace->m_type = type;
    ace->m_mask = mask;
    ace->m_flags = flags;
    ace->m_who = MakeStr(who);
    return ace;
}

#ifndef _WIN32
// Runs `scenario` in a forked child as nobody/nogroup; the child's gtest
// failures print there, and its exit status says whether there were any.
// The parent must not hold a running provider while forking.
inline void RunAsNobody(const std::function<void()>& scenario) {
    int code = kiln::test::RunAsNobody([&] {
        scenario();
        std::fflush(nullptr);
        return testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(code, 0) << "the scenario failed as nobody; see its output";
}

// What a shell command printed.
inline std::string CommandOutput(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[512];
    while (size_t n = fread(buffer, 1, sizeof(buffer), pipe)) out.append(buffer, n);
    pclose(pipe);
    return out;
}
#endif

}  // namespace kiln::KilnSfsWin::test
