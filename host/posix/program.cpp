// The program's entry on Linux, where arguments are bytes already.
#include "host/host_os.h"

int main(int argc, char** argv) {
    return kiln::sftp::RunServer(argc, argv);
}
