// The DACL that stands for POSIX permissions: on Windows just the entries
// made from the permissions; on Linux, whose file systems keep a mode, last
// an entry that carries the mode whole, so setuid, setgid and sticky come
// back. Wine keeps a file's DACL as mode bits: here is where the DACL shows.
#include <gtest/gtest.h>

#include "sfswin/attrs_translation.h"

namespace kiln::KilnSfsWin::test {
namespace {

TEST(PermissionsDacl, CarriesTheModeOnlyWhereTheFileSystemKeepsOne) {
#ifdef _WIN32
    constexpr bool keepsMode = false;
#else
    constexpr bool keepsMode = true;
#endif
    const OwnedSid owner = NtAuthoritySid(SECURITY_LOCAL_SYSTEM_RID);
    const OwnedSid group = NtAuthoritySid(SECURITY_BATCH_RID);
    const struct {
        uint32_t mode, entries;  // the entries made from the permissions
    } cases[] = {{0644, 3}, {0604, 4}, {0000, 1}, {04755, 3}, {03770, 2}, {07000, 1}};
    for (const auto& c : cases) {
        AclBuffer dacl;
        BuildPermissionsDacl(dacl, c.mode, owner.Get(), group.Get());
        ACL_SIZE_INFORMATION size{};
        ASSERT_TRUE(GetAclInformation(dacl.Get(), &size, sizeof size, AclSizeInformation));
        EXPECT_EQ(size.AceCount, c.entries + (keepsMode ? 1 : 0)) << std::oct << c.mode;
        EXPECT_EQ(platform::SpecialModeBits(dacl.Get()), keepsMode ? c.mode & 07000 : 0u)
            << std::oct << c.mode;
    }
}

}  // namespace
}  // namespace kiln::KilnSfsWin::test
