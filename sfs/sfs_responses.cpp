#include "sfs/sfs_responses.h"

#include "quantum/registration.h"
#include "sfs/status_texts.h"

namespace kiln {

RefPtr<QtStr> SfsEnglishTag() {
    // Never freed: status replies made during shutdown may still share it.
    static QtStr* const tag = [] {
        auto* t = new QtStr(u"en");
        t->AddRef();
        return t;
    }();
    return RefPtr<QtStr>(tag);
}

namespace {
// Creates the shared tag while the library loads, before any thread runs.
[[maybe_unused]] const bool kEnglishTagReady = static_cast<bool>(SfsEnglishTag());
}  // namespace

RefPtr<QtSfsStatus> QtSfsStatus::Make(SfsStatusCode code) {
    return Make(code, StandardStatusText(code).sv());
}

RefPtr<QtSfsStatus> QtSfsStatus::Make(SfsStatusCode code, std::u16string_view text) {
    RefPtr<QtSfsStatus> status(new QtSfsStatus);
    status->m_statusCode = code;
    status->m_errorMessage = MakeStr(text);
    status->m_languageTag = SfsEnglishTag();
    return status;
}

const char* SfsResponseContentTypeId(SfsResponse type) {
    switch (type) {
        case SfsResponse::Status:
            return QtSfsStatus::kTypeId;
        case SfsResponse::Handle:
            return QtSfsHandle::kTypeId;
        case SfsResponse::Data:
            return QtSfsData::kTypeId;
        case SfsResponse::Names:
            return QtSfsNames::kTypeId;
        case SfsResponse::Attrs:
            return QtSfsAttrs::kTypeId;
        case SfsResponse::Name:
            return QtSfsName::kTypeId;
        case SfsResponse::CheckFileReply:
            return QtSfsCheckFileReply::kTypeId;
        case SfsResponse::SpaceAvailReply:
            return QtSfsSpaceAvailReply::kTypeId;
    }
    return nullptr;
}

KILN_REGISTER_QUANTUM(QtSfsResponse);
KILN_REGISTER_QUANTUM(QtSfsStatus);
KILN_REGISTER_QUANTUM(QtSfsHandle);
KILN_REGISTER_QUANTUM(QtSfsData);
KILN_REGISTER_QUANTUM(QtSfsNames);
KILN_REGISTER_QUANTUM(QtSfsCheckFileReply);
KILN_REGISTER_QUANTUM(QtSfsSpaceAvailReply);

}  // namespace kiln
