// The request envelope and the 24 request contents. The envelope does not
// check that its content's class fits m_type: the dispatcher does, and answers
// a mismatch as invalid content.
#pragma once

#include <tuple>

#include "component/qt_out_port.h"
#include "quantum/message.h"
#include "quantum/qt_bytes.h"
#include "quantum/qt_str.h"
#include "quantum/qt_vect.h"
#include "sfs/sfs_attrs.h"
#include "sfs/sfs_control.h"
#include "sfs/sfs_enums.h"
#include "sfs/sfs_responses.h"

namespace kiln {

using SfsResponsePort = QtOutPort<QtSfsResponse>;

// Port fields are carried in memory only: not encoded, null after decoding,
// and listed last so that the dump shows them after the wire fields.
class QtSfsRequest : public QtMessage<QtSfsRequest> {
  public:
    KILN_QUANTUM_ID(QtSfsRequest)
    uint32_t m_id = 0;  // chosen by the host, copied into the response
    SfsRequest m_type{};
    RefPtr<QuantumS> m_content;  // of the class that m_type names
    RefPtr<SfsResponsePort> m_outResponse;
    RefPtr<SfsLogPort> m_outLog;

    static constexpr auto Fields() {
        using C = QtSfsRequest;
        return std::make_tuple(
            Field("m_id", &C::m_id), Field("m_type", &C::m_type), Field("m_content", &C::m_content),
            Field("m_outResponse", &C::m_outResponse), Field("m_outLog", &C::m_outLog));
    }
};

// Paths are SFS paths; handles are the opaque strings that Open and OpenDir
// returned.

class QtSfsOpen : public QtMessage<QtSfsOpen> {
  public:
    KILN_QUANTUM_ID(QtSfsOpen)
    RefPtr<QtStr> m_fileName;
    uint32_t m_desiredAccess = 0;  // SfsAccessMask
    uint32_t m_flags = 0;          // SfsOpenFlags
    RefPtr<QtSfsAttrs> m_attrs;    // attributes of a file that the open creates
    // In memory: where the transfer notification of the new handle goes.
    RefPtr<SfsFileTransferPort> m_outFileTransfer;

    static constexpr auto Fields() {
        using C = QtSfsOpen;
        return std::make_tuple(Field("m_fileName", &C::m_fileName),
                               Field("m_desiredAccess", &C::m_desiredAccess),
                               Field("m_flags", &C::m_flags), Field("m_attrs", &C::m_attrs),
                               Field("m_outFileTransfer", &C::m_outFileTransfer));
    }
};

class QtSfsClose : public QtMessage<QtSfsClose> {
  public:
    KILN_QUANTUM_ID(QtSfsClose)
    RefPtr<QtBytes> m_handle;

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_handle", &QtSfsClose::m_handle));
    }
};

class QtSfsRead : public QtMessage<QtSfsRead> {
  public:
    KILN_QUANTUM_ID(QtSfsRead)
    RefPtr<QtBytes> m_handle;
    uint64_t m_offset = 0;
    uint32_t m_length = 0;

    static constexpr auto Fields() {
        using C = QtSfsRead;
        return std::make_tuple(Field("m_handle", &C::m_handle), Field("m_offset", &C::m_offset),
                               Field("m_length", &C::m_length));
    }
};

class QtSfsWrite : public QtMessage<QtSfsWrite> {
  public:
    KILN_QUANTUM_ID(QtSfsWrite)
    RefPtr<QtBytes> m_handle;
    uint64_t m_offset = 0;
    RefPtr<QtBytes> m_data;

    static constexpr auto Fields() {
        using C = QtSfsWrite;
        return std::make_tuple(Field("m_handle", &C::m_handle), Field("m_offset", &C::m_offset),
                               Field("m_data", &C::m_data));
    }
};

class QtSfsFStat : public QtMessage<QtSfsFStat> {
  public:
    KILN_QUANTUM_ID(QtSfsFStat)
    RefPtr<QtBytes> m_handle;
    uint32_t m_flags = 0;  // SfsAttrFlags wanted

    static constexpr auto Fields() {
        using C = QtSfsFStat;
        return std::make_tuple(Field("m_handle", &C::m_handle), Field("m_flags", &C::m_flags));
    }
};

class QtSfsSetStat : public QtMessage<QtSfsSetStat> {
  public:
    KILN_QUANTUM_ID(QtSfsSetStat)
    RefPtr<QtStr> m_path;
    RefPtr<QtSfsAttrs> m_attrs;

    static constexpr auto Fields() {
        using C = QtSfsSetStat;
        return std::make_tuple(Field("m_path", &C::m_path), Field("m_attrs", &C::m_attrs));
    }
};

class QtSfsFSetStat : public QtMessage<QtSfsFSetStat> {
  public:
    KILN_QUANTUM_ID(QtSfsFSetStat)
    RefPtr<QtBytes> m_handle;
    RefPtr<QtSfsAttrs> m_attrs;

    static constexpr auto Fields() {
        using C = QtSfsFSetStat;
        return std::make_tuple(Field("m_handle", &C::m_handle), Field("m_attrs", &C::m_attrs));
    }
};

class QtSfsOpenDir : public QtMessage<QtSfsOpenDir> {
  public:
    KILN_QUANTUM_ID(QtSfsOpenDir)
    RefPtr<QtStr> m_path;

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_path", &QtSfsOpenDir::m_path));
    }
};

class QtSfsReadDir : public QtMessage<QtSfsReadDir> {
  public:
    KILN_QUANTUM_ID(QtSfsReadDir)
    RefPtr<QtBytes> m_handle;

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_handle", &QtSfsReadDir::m_handle));
    }
};

class QtSfsRemove : public QtMessage<QtSfsRemove> {
  public:
    KILN_QUANTUM_ID(QtSfsRemove)
    RefPtr<QtStr> m_fileName;

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_fileName", &QtSfsRemove::m_fileName));
    }
};

class QtSfsMkDir : public QtMessage<QtSfsMkDir> {
  public:
    KILN_QUANTUM_ID(QtSfsMkDir)
    RefPtr<QtStr> m_path;
    RefPtr<QtSfsAttrs> m_attrs;

    static constexpr auto Fields() {
        using C = QtSfsMkDir;
        return std::make_tuple(Field("m_path", &C::m_path), Field("m_attrs", &C::m_attrs));
    }
};

class QtSfsRmDir : public QtMessage<QtSfsRmDir> {
  public:
    KILN_QUANTUM_ID(QtSfsRmDir)
    RefPtr<QtStr> m_path;

    static constexpr auto Fields() { return std::make_tuple(Field("m_path", &QtSfsRmDir::m_path)); }
};

class QtSfsRealPath : public QtMessage<QtSfsRealPath> {
  public:
    KILN_QUANTUM_ID(QtSfsRealPath)
    RefPtr<QtStr> m_originalPath;
    SfsRealPath m_controlByte{};
    RefPtr<QtVectS<QtStr>> m_composePaths;  // appended to the original path, in order

    static constexpr auto Fields() {
        using C = QtSfsRealPath;
        return std::make_tuple(Field("m_originalPath", &C::m_originalPath),
                               Field("m_controlByte", &C::m_controlByte),
                               Field("m_composePaths", &C::m_composePaths));
    }
};

class QtSfsStat : public QtMessage<QtSfsStat> {
  public:
    KILN_QUANTUM_ID(QtSfsStat)
    RefPtr<QtStr> m_path;
    uint32_t m_flags = 0;  // SfsAttrFlags wanted
    bool m_followSymlink = false;

    static constexpr auto Fields() {
        using C = QtSfsStat;
        return std::make_tuple(Field("m_path", &C::m_path), Field("m_flags", &C::m_flags),
                               Field("m_followSymlink", &C::m_followSymlink));
    }
};

class QtSfsRename : public QtMessage<QtSfsRename> {
  public:
    KILN_QUANTUM_ID(QtSfsRename)
    RefPtr<QtStr> m_oldPath;
    RefPtr<QtStr> m_newPath;
    uint32_t m_flags = 0;  // SfsRenameFlags

    static constexpr auto Fields() {
        using C = QtSfsRename;
        return std::make_tuple(Field("m_oldPath", &C::m_oldPath), Field("m_newPath", &C::m_newPath),
                               Field("m_flags", &C::m_flags));
    }
};

class QtSfsReadLink : public QtMessage<QtSfsReadLink> {
  public:
    KILN_QUANTUM_ID(QtSfsReadLink)
    RefPtr<QtStr> m_path;

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_path", &QtSfsReadLink::m_path));
    }
};

class QtSfsLink : public QtMessage<QtSfsLink> {
  public:
    KILN_QUANTUM_ID(QtSfsLink)
    RefPtr<QtStr> m_newLinkPath;
    RefPtr<QtStr> m_existingPath;
    bool m_symlink = false;  // true: symbolic link, false: hard link

    static constexpr auto Fields() {
        using C = QtSfsLink;
        return std::make_tuple(Field("m_newLinkPath", &C::m_newLinkPath),
                               Field("m_existingPath", &C::m_existingPath),
                               Field("m_symlink", &C::m_symlink));
    }
};

class QtSfsBlock : public QtMessage<QtSfsBlock> {
  public:
    KILN_QUANTUM_ID(QtSfsBlock)
    RefPtr<QtBytes> m_handle;
    uint64_t m_offset = 0;
    uint64_t m_length = 0;
    uint32_t m_flags = 0;  // SfsBlockFlags

    static constexpr auto Fields() {
        using C = QtSfsBlock;
        return std::make_tuple(Field("m_handle", &C::m_handle), Field("m_offset", &C::m_offset),
                               Field("m_length", &C::m_length), Field("m_flags", &C::m_flags));
    }
};

class QtSfsUnblock : public QtMessage<QtSfsUnblock> {
  public:
    KILN_QUANTUM_ID(QtSfsUnblock)
    RefPtr<QtBytes> m_handle;
    uint64_t m_offset = 0;
    uint64_t m_length = 0;

    static constexpr auto Fields() {
        using C = QtSfsUnblock;
        return std::make_tuple(Field("m_handle", &C::m_handle), Field("m_offset", &C::m_offset),
                               Field("m_length", &C::m_length));
    }
};

class QtSfsTextSeek : public QtMessage<QtSfsTextSeek> {
  public:
    KILN_QUANTUM_ID(QtSfsTextSeek)
    RefPtr<QtBytes> m_handle;
    uint64_t m_lineNumber = 0;

    static constexpr auto Fields() {
        using C = QtSfsTextSeek;
        return std::make_tuple(Field("m_handle", &C::m_handle),
                               Field("m_lineNumber", &C::m_lineNumber));
    }
};

class QtSfsCheckFileHandle : public QtMessage<QtSfsCheckFileHandle> {
  public:
    KILN_QUANTUM_ID(QtSfsCheckFileHandle)
    RefPtr<QtBytes> m_handle;
    RefPtr<QtStr> m_hashAlgList;
    uint64_t m_startOffset = 0;
    uint64_t m_length = 0;
    uint32_t m_blockSize = 0;

    static constexpr auto Fields() {
        using C = QtSfsCheckFileHandle;
        return std::make_tuple(
            Field("m_handle", &C::m_handle), Field("m_hashAlgList", &C::m_hashAlgList),
            Field("m_startOffset", &C::m_startOffset), Field("m_length", &C::m_length),
            Field("m_blockSize", &C::m_blockSize));
    }
};

class QtSfsCheckFileName : public QtMessage<QtSfsCheckFileName> {
  public:
    KILN_QUANTUM_ID(QtSfsCheckFileName)
    RefPtr<QtStr> m_fileName;
    RefPtr<QtStr> m_hashAlgList;
    uint64_t m_startOffset = 0;
    uint64_t m_length = 0;
    uint32_t m_blockSize = 0;

    static constexpr auto Fields() {
        using C = QtSfsCheckFileName;
        return std::make_tuple(
            Field("m_fileName", &C::m_fileName), Field("m_hashAlgList", &C::m_hashAlgList),
            Field("m_startOffset", &C::m_startOffset), Field("m_length", &C::m_length),
            Field("m_blockSize", &C::m_blockSize));
    }
};

class QtSfsSpaceAvail : public QtMessage<QtSfsSpaceAvail> {
  public:
    KILN_QUANTUM_ID(QtSfsSpaceAvail)
    RefPtr<QtStr> m_path;

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_path", &QtSfsSpaceAvail::m_path));
    }
};

class QtSfsHomeDir : public QtMessage<QtSfsHomeDir> {
  public:
    KILN_QUANTUM_ID(QtSfsHomeDir)
    RefPtr<QtStr> m_userName;

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_userName", &QtSfsHomeDir::m_userName));
    }
};
// Makes what was written through the handle durable on its device.
class QtSfsFSync : public QtMessage<QtSfsFSync> {
  public:
    KILN_QUANTUM_ID(QtSfsFSync)
    RefPtr<QtBytes> m_handle;

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_handle", &QtSfsFSync::m_handle));
    }
};

// The type ID of the content class that goes with a request type, or null for
// a value without one.
const char* SfsRequestContentTypeId(SfsRequest type);

}  // namespace kiln
