// Permissions through SetStat and Stat: on Windows the DACL holds just the
// entries made from the permissions, and w needs DELETE; on Linux the mode
// keeps setuid, setgid and sticky, and w is writing data.
#include "attrs_support.h"

namespace kiln::KilnSfsWin::test {
namespace {

TEST_F(AttrsTest, PermissionsKeepToTheFileSystemsRules) {
    Put("/f", "");
    const struct {
        uint32_t mode, ownerAcl;  // ownerAcl: instead of the mode, a DACL of one OWNER@ entry
        uint32_t windows, windowsAces, linux;  // what Stat reads back
    } cases[] = {{0604, 0, 0604, 4, 0604},
                 {0, 0x1F019F & ~DELETE, 0400, 1, 0600},  // the owner's w without DELETE
                 {04755, 0, 0755, 3, 04755},
                 {03770, 0, 0770, 2, 03770}};
    for (const auto& c : cases) {
        auto attrs = NewAttrs(c.ownerAcl ? SfsAttrFlags::Acl : SfsAttrFlags::Permissions);
        attrs->m_permissions = c.mode;
        (attrs->m_acl = MakeRef<QtSfsAcl>())->m_flags = 0x03;  // ControlIncluded, ControlPresent
        (attrs->m_acl->m_aces = MakeRef<QtVectS<QtSfsAce>>())
            ->Append(NewAce(SfsAceType::AccessAllowed, c.ownerAcl, u"OWNER@"));
        ASSERT_EQ(SetStat(u"/f", attrs).Status(), SfsStatusCode::Ok);
        RefPtr<QtSfsAttrs> read = Attrs(Stat(u"/f", SfsAttrFlags::Permissions | SfsAttrFlags::Acl));
        ASSERT_TRUE(read && read->m_acl);
#ifdef _WIN32
        EXPECT_EQ(read->m_acl->m_aces->Count(), c.windowsAces);
        EXPECT_EQ(read->m_permissions, c.windows);
#else
        EXPECT_EQ(read->m_permissions, c.linux);
#endif
    }
}

}  // namespace
}  // namespace kiln::KilnSfsWin::test
