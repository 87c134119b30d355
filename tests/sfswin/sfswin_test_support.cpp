#include "sfswin_test_support.h"

#include <cstdlib>
#include <filesystem>

namespace kiln::KilnSfsWin::test {

TempRoot::TempRoot() {
    char pattern[] = "/tmp/kiln-sfswin-XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    m_linuxPath = made ? made : "/tmp";
    m_winPath = u"C:";
    for (char c : m_linuxPath) m_winPath += c == '/' ? u'\\' : static_cast<char16_t>(c);
}

TempRoot::~TempRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(m_linuxPath, ignored);
}

}  // namespace kiln::KilnSfsWin::test
