#include "sfswin_test_support.h"

#include <cstdlib>
#include <filesystem>

#include "support/wine.h"

namespace kiln::KilnSfsWin::test {

#ifdef _WIN32
// Windows: a fresh folder in the user's temporary directory; both paths are
// the Windows one (the file functions take "/" as well as "\\").
TempRoot::TempRoot() {
    static unsigned serial = 0;
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    for (;;) {
        std::filesystem::path candidate =
            base / ("kiln-sfswin-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(++serial));
        if (std::filesystem::create_directory(candidate, error) || error) {
            EXPECT_FALSE(error) << error.message();
            m_linuxPath = candidate.string();
            break;
        }
    }
    for (char c : m_linuxPath) m_winPath += static_cast<char16_t>(c);
}
#else
TempRoot::TempRoot() {
    char pattern[] = "/tmp/kiln-sfswin-XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    m_linuxPath = made ? made : "/tmp";
    m_winPath = u"C:";
    for (char c : m_linuxPath) m_winPath += c == '/' ? u'\\' : static_cast<char16_t>(c);
}
#endif

TempRoot::~TempRoot() {
#ifdef _WIN32
    // Wine would follow the host's links in the tree.
    if (kiln::test::RunningUnderWine()) {
        kiln::test::RemoveHostTree(m_linuxPath);
        return;
    }
#endif
    std::error_code ignored;
    std::filesystem::remove_all(m_linuxPath, ignored);
}

}  // namespace kiln::KilnSfsWin::test
