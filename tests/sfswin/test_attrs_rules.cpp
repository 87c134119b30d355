// The DACL made from permissions: on Windows those entries alone; on Linux,
// whose files keep a mode, the entry carrying it whole comes last. Wine keeps
// a file's DACL as mode bits, so the DACL shows here and not through Stat.
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
    const std::pair<uint32_t, DWORD> cases[] = {{0644, 3},  {0604, 4},  {0000, 1},
                                                {04755, 3}, {03770, 2}, {07000, 1}};
    for (const auto& [mode, entries] : cases) {
        AclBuffer dacl;
        BuildPermissionsDacl(dacl, mode, owner.Get(), group.Get());
        ACL_SIZE_INFORMATION size{};
        ASSERT_TRUE(GetAclInformation(dacl.Get(), &size, sizeof size, AclSizeInformation));
        EXPECT_EQ(size.AceCount, entries + (keepsMode ? 1 : 0)) << std::oct << mode;
        EXPECT_EQ(platform::SpecialModeBits(dacl.Get()), keepsMode ? mode & 07000 : 0u);
    }
}

}  // namespace
}  // namespace kiln::KilnSfsWin::test
