#include "sfswin/dispatch.h"

#include <iterator>

namespace kiln::KilnSfsWin {

namespace {

template <class Content>
bool Carries(const QuantumS* content) {
    return QuantumPtrCast<const Content>(content) != nullptr;
}

template <class Content>
constexpr DispatchEntry Entry(SfsRequest type, KilnSfsWin::Handler handler) {
    return DispatchEntry{type, Content::kTypeId, Carries<Content>, handler,
                         platform::RequestKind::MayChange};
}

// A handler that only looks at what its request names.
template <class Content>
constexpr DispatchEntry Query(SfsRequest type, KilnSfsWin::Handler handler) {
    return DispatchEntry{type, Content::kTypeId, Carries<Content>, handler,
                         platform::RequestKind::ChangesNothing};
}

// A handler enters service by naming it here in place of nullptr.
const DispatchEntry kDispatchTable[] = {
    Entry<QtSfsOpen>(SfsRequest::Open, &KilnSfsWin::Open),
    Entry<QtSfsClose>(SfsRequest::Close, &KilnSfsWin::Close),
    Entry<QtSfsRead>(SfsRequest::Read, &KilnSfsWin::Read),
    Entry<QtSfsWrite>(SfsRequest::Write, &KilnSfsWin::Write),
    Query<QtSfsFStat>(SfsRequest::FStat, &KilnSfsWin::Stat),
    Entry<QtSfsSetStat>(SfsRequest::SetStat, &KilnSfsWin::SetStat),
    Entry<QtSfsFSetStat>(SfsRequest::FSetStat, &KilnSfsWin::SetStat),
    Entry<QtSfsSetStat>(SfsRequest::LSetStat, &KilnSfsWin::SetStat),
    Entry<QtSfsOpenDir>(SfsRequest::OpenDir, &KilnSfsWin::OpenDir),
    Entry<QtSfsReadDir>(SfsRequest::ReadDir, &KilnSfsWin::ReadDir),
    Entry<QtSfsRemove>(SfsRequest::Remove, &KilnSfsWin::Remove),
    Entry<QtSfsMkDir>(SfsRequest::MkDir, &KilnSfsWin::MkDir),
    Entry<QtSfsRmDir>(SfsRequest::RmDir, &KilnSfsWin::RmDir),
    Entry<QtSfsRealPath>(SfsRequest::RealPath, &KilnSfsWin::RealPath),
    Query<QtSfsStat>(SfsRequest::Stat, &KilnSfsWin::Stat),
    Entry<QtSfsRename>(SfsRequest::Rename, &KilnSfsWin::Rename),
    Entry<QtSfsReadLink>(SfsRequest::ReadLink, &KilnSfsWin::ReadLink),
    Entry<QtSfsLink>(SfsRequest::Link, &KilnSfsWin::Link),
    Entry<QtSfsBlock>(SfsRequest::Block, &KilnSfsWin::Block),
    Entry<QtSfsUnblock>(SfsRequest::Unblock, &KilnSfsWin::Unblock),
    Entry<QtSfsTextSeek>(SfsRequest::TextSeek, &KilnSfsWin::TextSeek),
    Entry<QtSfsCheckFileHandle>(SfsRequest::CheckFileHandle, &KilnSfsWin::CheckFile),
    Entry<QtSfsCheckFileName>(SfsRequest::CheckFileName, &KilnSfsWin::CheckFile),
    Entry<QtSfsSpaceAvail>(SfsRequest::SpaceAvail, &KilnSfsWin::SpaceAvail),
    Entry<QtSfsFSync>(SfsRequest::FSync, &KilnSfsWin::FSync),
};

void AnswerUnsupported(KilnSfsWin& provider, const QtSfsRequest& request) {
    provider.LogRequest(
        request, SfsLogType::Warning,
        u"KilnSfsWin: Received unsupported '" + EnumText(request.m_type) + u"' packet.");
    provider.AnswerCode(request, SfsStatusCode::OpUnsupported);
}

}  // namespace

const DispatchEntry* FindDispatchEntry(SfsRequest type) {
    for (const DispatchEntry& entry : kDispatchTable)
        if (entry.type == type) return &entry;
    return nullptr;
}

void Dispatch(KilnSfsWin& provider, const QtSfsRequest& request) {
    const DispatchEntry* entry = FindDispatchEntry(request.m_type);
    if (entry == nullptr) return AnswerUnsupported(provider, request);
    // Content that does not fit its type means a broken host, whether or not
    // the type is served yet.
    if (!entry->carriesContent(request.m_content.get()))
        throw KilnComponent::Exit(
            ErrCls::Kiln, 0,
            u"KilnSfsWin: Received " + EnumText(request.m_type) + u" with invalid content");
    if (entry->handler == nullptr) return AnswerUnsupported(provider, request);
    platform::ResolutionScope resolution(entry->kind);
    (provider.*(entry->handler))(request);
}

}  // namespace kiln::KilnSfsWin
