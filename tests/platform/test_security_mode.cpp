// Changes that Linux may not make are refused, never reported as made:
// setuid, setgid and sticky carried in a DACL's NFS mode entry, and HIDDEN
// cleared on a dot name.
#include "files_test_support.h"
#include "security_test_support.h"

namespace kiln::platform::testing {
namespace {

using kiln::test::DaclFromPermissions;
using kiln::test::GroupSid;
using kiln::test::SidBuffer;
using kiln::test::UserSid;

class ModeBits : public FilesTest {
  protected:
    DWORD SetDacl(const std::string& name, const std::vector<BYTE>& dacl,
                  const SidBuffer* owner = nullptr) {
        std::u16string path = Path(name);
        SECURITY_INFORMATION info =
            DACL_SECURITY_INFORMATION | (owner ? OWNER_SECURITY_INFORMATION : 0);
        return SetNamedSecurityInfoW(
            path.data(), SE_FILE_OBJECT, info, owner ? const_cast<BYTE*>(owner->data()) : nullptr,
            nullptr, reinterpret_cast<PACL>(const_cast<BYTE*>(dacl.data())), nullptr);
    }
    mode_t ModeOf(const std::string& name) {
        struct stat st {};
        ::stat(Disk(name).c_str(), &st);
        return st.st_mode & 07777;
    }
};

TEST_F(ModeBits, SpecialBitsTravelInTheNfsModeEntryBothWays) {
    const SidBuffer root = UserSid(0), rootGroup = GroupSid(0);
    struct Case {
        const char* label;
        bool directory;
        mode_t before;
        std::optional<unsigned> dacl;  // none: a DACL without the mode entry
        bool toNobody;                 // owner changes to nobody in the same call
        mode_t after;
    } cases[] = {
        {"setuid", false, 0755, 04755, false, 04755},
        {"setgid and sticky on a directory", true, 0755, 03775, false, 03775},
        {"a plain mode clears them", false, 06755, 0755, false, 0755},
        {"a DACL without the entry keeps them", false, 04755, std::nullopt, false, 04750},
        {"a new owner does not clear them", false, 0644, 04711, true, 04711},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = std::string("m") + std::to_string(&c - cases);
        if (c.directory) {
            MakeDir(name);
        } else {
            MakeFile(name);
        }
        ASSERT_EQ(::chmod(Disk(name).c_str(), c.before), 0);
        std::vector<BYTE> dacl =
            c.dacl ? DaclFromPermissions(*c.dacl, root, rootGroup, true)
                   : kiln::test::MakeAcl(
                         {{ACCESS_ALLOWED_ACE_TYPE, 0, kiln::test::RightsOf(7) | WRITE_DAC, root},
                          {ACCESS_ALLOWED_ACE_TYPE, 0, kiln::test::RightsOf(5), rootGroup}});
        const SidBuffer nobody = UserSid(kiln::test::kNobody);
        if (c.toNobody) dacl = DaclFromPermissions(*c.dacl, nobody, rootGroup);
        ASSERT_EQ(SetDacl(name, dacl, c.toNobody ? &nobody : nullptr),
                  static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(ModeOf(name), c.after) << std::oct << ModeOf(name);

        // Read back: the mode entry is there exactly when a special bit is.
        PSECURITY_DESCRIPTOR sd = nullptr;
        PACL read = nullptr;
        ASSERT_EQ(
            GetNamedSecurityInfoW(Path(name).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &read, nullptr, &sd),
            static_cast<DWORD>(ERROR_SUCCESS));
        const SidBuffer modeSid = kiln::test::Sid(5, {88, 3, static_cast<DWORD>(c.after)});
        bool found = false;
        for (DWORD i = 0; i < read->AceCount; ++i) {
            void* ace = nullptr;
            ASSERT_TRUE(GetAce(read, i, &ace));
            found = found || EqualSid(&static_cast<ACCESS_DENIED_ACE*>(ace)->SidStart,
                                      const_cast<BYTE*>(modeSid.data()));
        }
        EXPECT_EQ(found, (c.after & 07000) != 0);
        LocalFree(sd);
    }
}

TEST_F(ModeBits, SetgidThatTheKernelWouldDropIsRefused) {
    // nobody owns the file but is no member of root's group: chmod g+s by
    // nobody succeeds while the kernel silently drops the bit.
    MakeFile("g");
    ASSERT_EQ(::chown(Disk("g").c_str(), kiln::test::kNobody, 0), 0);
    ASSERT_EQ(::chmod(scratch_.c_str(), 0755), 0);
    const std::vector<BYTE> dacl =
        DaclFromPermissions(02750, UserSid(kiln::test::kNobody), GroupSid(0));
    const int result =
        kiln::test::RunAsNobody([&] { return static_cast<int>(SetDacl("g", dacl)); });
    EXPECT_EQ(result, ERROR_ACCESS_DENIED);
    EXPECT_EQ(ModeOf("g") & 07000, 0u);
}

// DACL entries -> the mode and ACL on disk -> the DACL read back. w comes
// from the data rights alone; what the DACL reads back grants the attribute,
// DAC and owner rights to the owner only, as Linux does.
TEST_F(ModeBits, AclEntriesMapToPosixAndBackPromisingOnlyWhatLinuxKeeps) {
    using kiln::test::Ace;
    const SidBuffer owner = UserSid(0), group = GroupSid(0), world = kiln::test::World(),
                    nobody = UserSid(kiln::test::kNobody);
    constexpr ACCESS_MASK kR = kiln::test::kReadRights;
    constexpr ACCESS_MASK kWriteNoDelete =
        FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA;
    struct Case {
        const char* label;
        std::vector<Ace> entries;
        mode_t mode;  // group bits: the ACL mask when there are named entries
        bool groupWrites, nobodyWrites;
    } cases[] = {
        {"owner writes without DELETE", {{0, 0, kR | kWriteNoDelete, owner}}, 0600, false, false},
        {"owner writes data only",
         {{0, 0, kR | FILE_WRITE_DATA | FILE_APPEND_DATA, owner}},
         0600,
         false,
         false},
        {"owner deletes and sets attributes but writes nothing",
         {{0, 0, kR | DELETE | FILE_WRITE_ATTRIBUTES, owner}},
         0400,
         false,
         false},
        {"group may change the DACL and attributes",
         {{0, 0, kR | kWriteNoDelete, owner},
          {0, 0, kR | kWriteNoDelete | WRITE_DAC | WRITE_OWNER, group}},
         0660,
         true,
         false},
        {"Everyone gets everything", {{0, 0, GENERIC_ALL, world}}, 0777, true, true},
        {"a named user writes",
         {{0, 0, kR | kWriteNoDelete, owner}, {0, 0, kR | kWriteNoDelete | DELETE, nobody}},
         0660,
         false,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = std::string("a") + std::to_string(&c - cases);
        MakeFile(name);
        ASSERT_EQ(SetDacl(name, kiln::test::MakeAcl(c.entries)), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(ModeOf(name), c.mode) << std::oct << ModeOf(name);

        PSECURITY_DESCRIPTOR sd = nullptr;
        PACL read = nullptr;
        ASSERT_EQ(
            GetNamedSecurityInfoW(Path(name).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &read, nullptr, &sd),
            static_cast<DWORD>(ERROR_SUCCESS));
        auto rights = [&](const SidBuffer& sid) { return kiln::test::EffectiveRights(read, sid); };
        auto writes = [](ACCESS_MASK r) {
            return (r & (FILE_WRITE_DATA | FILE_APPEND_DATA)) ==
                   (FILE_WRITE_DATA | FILE_APPEND_DATA);
        };
        EXPECT_EQ(rights(owner) & kiln::test::kOwnerOnly, kiln::test::kOwnerOnly);
        EXPECT_EQ(writes(rights(owner)), (c.mode & 0200) != 0);
        EXPECT_EQ(writes(rights(group)), c.groupWrites);
        EXPECT_EQ(writes(rights(nobody)), c.nobodyWrites);
        for (const SidBuffer* other : {&group, &world, &nobody}) {
            EXPECT_EQ(rights(*other) & (kiln::test::kOwnerOnly | DELETE), 0u);
        }
        LocalFree(sd);
    }
}

TEST_F(ModeBits, HiddenClearedOnADotNameStaysCleared) {
    struct Case {
        const char* name;
        DWORD set;
        bool hidden;
    } cases[] = {
        {".dot", FILE_ATTRIBUTE_NORMAL, false},  {".dot", FILE_ATTRIBUTE_HIDDEN, true},
        {".dot", FILE_ATTRIBUTE_ARCHIVE, false}, {"plain", FILE_ATTRIBUTE_HIDDEN, true},
        {"plain", FILE_ATTRIBUTE_NORMAL, false},
    };
    MakeFile(".dot");
    MakeFile("plain");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.set));
        ASSERT_TRUE(SetFileAttributesW(Path(c.name).c_str(), c.set));
        EXPECT_EQ((GetFileAttributesW(Path(c.name).c_str()) & FILE_ATTRIBUTE_HIDDEN) != 0,
                  c.hidden);
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW(Path(c.name).c_str(), &data);
        ASSERT_NE(find, INVALID_HANDLE_VALUE);
        FindClose(find);
        EXPECT_EQ((data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0, c.hidden);
    }
}

}  // namespace
}  // namespace kiln::platform::testing
