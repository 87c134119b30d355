// The response envelope and the contents that only responses carry. The other
// two contents, QtSfsAttrs (Attrs) and QtSfsName (Name), are attribute
// records.
#pragma once

#include <string_view>
#include <tuple>

#include "quantum/message.h"
#include "quantum/qt_bytes.h"
#include "quantum/qt_str.h"
#include "quantum/qt_vect.h"
#include "sfs/sfs_attrs.h"
#include "sfs/sfs_enums.h"

namespace kiln {

class QtSfsResponse : public QtMessage<QtSfsResponse> {
  public:
    KILN_QUANTUM_ID(QtSfsResponse)
    uint32_t m_id = 0;  // the m_id of the request answered
    SfsResponse m_type{};
    RefPtr<QuantumS> m_content;  // of the class that m_type names

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_id", &QtSfsResponse::m_id),
                               Field("m_type", &QtSfsResponse::m_type),
                               Field("m_content", &QtSfsResponse::m_content));
    }
};

// Also what a request handler raises to abandon its request; the request
// loop sends it as the Status response.
class QtSfsStatus : public QtMessage<QtSfsStatus> {
  public:
    KILN_QUANTUM_ID(QtSfsStatus)
    SfsStatusCode m_statusCode = SfsStatusCode::Ok;
    RefPtr<QtStr> m_errorMessage;
    RefPtr<QtStr> m_languageTag;

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_statusCode", &QtSfsStatus::m_statusCode),
                               Field("m_errorMessage", &QtSfsStatus::m_errorMessage),
                               Field("m_languageTag", &QtSfsStatus::m_languageTag));
    }

    // A status with the code's standard text, in English.
    static RefPtr<QtSfsStatus> Make(SfsStatusCode code);
    // A status with a text of the handler's own, in English.
    static RefPtr<QtSfsStatus> Make(SfsStatusCode code, std::u16string_view text);
};

// The language tag "en", one object shared by every status reply.
RefPtr<QtStr> SfsEnglishTag();

class QtSfsHandle : public QtMessage<QtSfsHandle> {
  public:
    KILN_QUANTUM_ID(QtSfsHandle)
    RefPtr<QtBytes> m_handle;

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_handle", &QtSfsHandle::m_handle));
    }
};

class QtSfsData : public QtMessage<QtSfsData> {
  public:
    KILN_QUANTUM_ID(QtSfsData)
    RefPtr<QtBytes> m_data;
    bool m_endOfFile = false;  // the read reached the end of the file

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_data", &QtSfsData::m_data),
                               Field("m_endOfFile", &QtSfsData::m_endOfFile));
    }
};

class QtSfsNames : public QtMessage<QtSfsNames> {
  public:
    KILN_QUANTUM_ID(QtSfsNames)
    RefPtr<QtVectS<QtSfsName>> m_names;
    bool m_endOfList = false;  // no more entries follow

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_names", &QtSfsNames::m_names),
                               Field("m_endOfList", &QtSfsNames::m_endOfList));
    }
};

class QtSfsCheckFileReply : public QtMessage<QtSfsCheckFileReply> {
  public:
    KILN_QUANTUM_ID(QtSfsCheckFileReply)
    RefPtr<QtStr> m_hashAlgUsed;
    RefPtr<QtVectS<QtBytes>> m_hashes;  // one per block, in file order

    static constexpr auto Fields() {
        return std::make_tuple(Field("m_hashAlgUsed", &QtSfsCheckFileReply::m_hashAlgUsed),
                               Field("m_hashes", &QtSfsCheckFileReply::m_hashes));
    }
};

class QtSfsSpaceAvailReply : public QtMessage<QtSfsSpaceAvailReply> {
  public:
    KILN_QUANTUM_ID(QtSfsSpaceAvailReply)
    uint64_t m_bytesOnDevice = 0;
    uint64_t m_unusedBytesOnDevice = 0;
    uint64_t m_bytesAvailableToUser = 0;
    uint64_t m_unusedBytesAvailableToUser = 0;
    uint32_t m_bytesPerAllocationUnit = 0;

    static constexpr auto Fields() {
        using C = QtSfsSpaceAvailReply;
        return std::make_tuple(
            Field("m_bytesOnDevice", &C::m_bytesOnDevice),
            Field("m_unusedBytesOnDevice", &C::m_unusedBytesOnDevice),
            Field("m_bytesAvailableToUser", &C::m_bytesAvailableToUser),
            Field("m_unusedBytesAvailableToUser", &C::m_unusedBytesAvailableToUser),
            Field("m_bytesPerAllocationUnit", &C::m_bytesPerAllocationUnit));
    }
};

// The type ID of the content class that goes with a response type, or null
// for a value without one.
const char* SfsResponseContentTypeId(SfsResponse type);

}  // namespace kiln
