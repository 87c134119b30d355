// The program's entry on Windows. The arguments are taken in UTF-16 from the
// command line itself, as wmain would receive them, and handed on in UTF-8,
// so that roots and names outside the code page arrive whole.
#include <string>
#include <vector>

#include "host/host_os.h"
#include "platform/disk_names.h"
#include "platform/win32.h"
// After windows.h, which it relies on.
#include <shellapi.h>

int main() {
    int argc = 0;
    LPWSTR* given = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!given) return 2;
    auto** wide = reinterpret_cast<char16_t**>(given);
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        std::string arg;
        if (!kiln::platform::WindowsNameToDisk(wide[i], &arg)) return 2;
        args.push_back(std::move(arg));
    }
    LocalFree(given);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return kiln::sftp::RunServer(argc, argv.data());
}
