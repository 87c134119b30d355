// libFuzzer entry for the parsers that read what a client sends: the packet
// framing of the input stream, the field reader, the ATTRS structure of every
// version and path canonicalisation. None of them may crash, hang or read
// outside the bytes given, whatever the input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "host/sftp_attrs.h"
#include "host/sftp_packet.h"
#include "host/sftp_paths.h"

using namespace kiln;
using namespace kiln::sftp;

namespace {

void ParseFields(const uint8_t* data, size_t size) {
    SftpReader r(data, size);
    uint8_t type = 0;
    uint32_t id = 0;
    r.U8(type);
    r.U32(id);
    // The version comes from the input too, so every layout gets its turn.
    const int version = 3 + static_cast<int>(type % 4);
    std::string_view path;
    if (r.String(path)) {
        auto canonical = CanonicalPath("/home/user", path);
        if (canonical) {
            WString sfs = ToSfsPath(*canonical);
            (void)FromSfsPath(sfs.sv());
        }
    }
    uint32_t flags = 0;
    r.U32(flags);
    QtSfsAttrs attrs;
    if (ReadAttrs(r, version, attrs) == AttrsError::None) {
        SftpWriter w(Fxp::Attrs);
        WriteAttrs(w, version, attrs);
        (void)Longname("x", attrs, 0);
    }
}

void Frame(const uint8_t* data, size_t size) {
    int fds[2];
    if (pipe(fds) != 0) return;
    // Inputs larger than a pipe buffer would block the write; the framing of
    // large packets is covered by the unit tests.
    size_t n = size < 60000 ? size : 60000;
    if (write(fds[1], data, n) != static_cast<ssize_t>(n)) {
        close(fds[0]);
        close(fds[1]);
        return;
    }
    close(fds[1]);
    PacketInput in(fds[0], -1, 4096);
    RefPtr<SftpPacket> packet;
    while (in.Next(packet) == PacketInput::Result::Packet)
        ParseFields(packet->Data(), packet->Size());
    close(fds[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ParseFields(data, size);
    Frame(data, size);
    return 0;
}
