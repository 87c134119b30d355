// The messages besides requests and responses: initialisation, log records,
// the provider's self-description and file-transfer notifications.
#pragma once

#include <tuple>

#include "component/general_quanta.h"
#include "component/qt_out_port.h"
#include "quantum/message.h"
#include "quantum/qt_str.h"
#include "sfs/sfs_enums.h"

namespace kiln {

class QtSfsLog : public QtMessage<QtSfsLog> {
  public:
    KILN_QUANTUM_ID(QtSfsLog)
    SfsLogType m_type = SfsLogType::Error;
    SfsLogCode m_code = SfsLogCode::Other;
    RefPtr<QtStr> m_message;

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_type", &QtSfsLog::m_type),
                               Field("m_code", &QtSfsLog::m_code),
                               Field("m_message", &QtSfsLog::m_message));
    }
};

class QtSfsNotifyFileTransfer : public QtMessage<QtSfsNotifyFileTransfer> {
  public:
    KILN_QUANTUM_ID(QtSfsNotifyFileTransfer)
    RefPtr<QtStr> m_path;
    uint64_t m_openTimer = 0;  // how long the handle was open
    uint64_t m_readBytes = 0;
    uint64_t m_writeBytes = 0;
    uint64_t m_writeBytesAppended = 0;
    uint64_t m_readMaxRangeBeg = 0;
    uint64_t m_readMaxRangeEnd = 0;
    uint64_t m_writeMaxRangeBeg = 0;
    uint64_t m_writeMaxRangeEnd = 0;

    static constexpr auto Fields() {
        using C = QtSfsNotifyFileTransfer;
        return std::make_tuple(Field("m_path", &C::m_path), Field("m_openTimer", &C::m_openTimer),
                               Field("m_readBytes", &C::m_readBytes),
                               Field("m_writeBytes", &C::m_writeBytes),
                               Field("m_writeBytesAppended", &C::m_writeBytesAppended),
                               Field("m_readMaxRangeBeg", &C::m_readMaxRangeBeg),
                               Field("m_readMaxRangeEnd", &C::m_readMaxRangeEnd),
                               Field("m_writeMaxRangeBeg", &C::m_writeMaxRangeBeg),
                               Field("m_writeMaxRangeEnd", &C::m_writeMaxRangeEnd));
    }
};

// The host ports that travel inside messages as reply channels.
using SfsLogPort = QtOutPort<QtSfsLog>;
using SfsFileTransferPort = QtOutPort<QtSfsNotifyFileTransfer>;

class QtSfsInit : public QtMessage<QtSfsInit> {
  public:
    KILN_QUANTUM_ID(QtSfsInit)
    RefPtr<QtNameValueTree> m_root;  // the initialisation parameters
    RefPtr<SfsLogPort> m_outLog;     // in memory; required

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_root", &QtSfsInit::m_root),
                               Field("m_outLog", &QtSfsInit::m_outLog));
    }
};

class QtSfsVendorInfo : public QtMessage<QtSfsVendorInfo> {
  public:
    KILN_QUANTUM_ID(QtSfsVendorInfo)
    RefPtr<QtStr> m_vendorName;
    RefPtr<QtStr> m_productName;
    RefPtr<QtStr> m_productVersion;
    uint64_t m_productBuildNumber = 0;

    static constexpr auto Fields() {
        using C = QtSfsVendorInfo;
        return std::make_tuple(Field("m_vendorName", &C::m_vendorName),
                               Field("m_productName", &C::m_productName),
                               Field("m_productVersion", &C::m_productVersion),
                               Field("m_productBuildNumber", &C::m_productBuildNumber));
    }
};

class QtSfsProviderInfo : public QtMessage<QtSfsProviderInfo> {
  public:
    KILN_QUANTUM_ID(QtSfsProviderInfo)
    RefPtr<QtSfsVendorInfo> m_vendorInfo;
    uint32_t m_maxReadSize = 0;               // largest number of bytes one read returns
    uint32_t m_supportedAttrFields = 0;       // SfsAttrFlags
    uint32_t m_supportedAttrBits = 0;         // SfsAttrBits
    uint32_t m_supportedOpenFlags = 0;        // SfsOpenFlags
    uint32_t m_supportedAccessMask = 0;       // SfsAccessMask
    uint16_t m_supportedOpenBlockVector = 0;  // see SfsBlockVectorAllows
    uint16_t m_supportedBlockVector = 0;

    static constexpr auto Fields() {
        using C = QtSfsProviderInfo;
        return std::make_tuple(Field("m_vendorInfo", &C::m_vendorInfo),
                               Field("m_maxReadSize", &C::m_maxReadSize),
                               Field("m_supportedAttrFields", &C::m_supportedAttrFields),
                               Field("m_supportedAttrBits", &C::m_supportedAttrBits),
                               Field("m_supportedOpenFlags", &C::m_supportedOpenFlags),
                               Field("m_supportedAccessMask", &C::m_supportedAccessMask),
                               Field("m_supportedOpenBlockVector", &C::m_supportedOpenBlockVector),
                               Field("m_supportedBlockVector", &C::m_supportedBlockVector));
    }
};

}  // namespace kiln
