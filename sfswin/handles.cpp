#include "sfswin/handles.h"

#include "sfswin/error_mapping.h"

namespace kiln::KilnSfsWin {

namespace {

std::string_view KeyOf(const QtBytes& handle) {
    return handle.View();
}

[[noreturn]] void ExitWith(std::u16string_view text) {
    throw KilnComponent::Exit(ErrCls::Kiln, 0, text);
}

template <class Content>
const QtBytes* HandleField(const QuantumS* content) {
    auto* typed = QuantumPtrCast<const Content>(content);
    return typed ? typed->m_handle.get() : nullptr;
}

struct HandleRequest {
    SfsRequest type;
    const char16_t* operation;  // opens the InvalidHandle log text
    const QtBytes* (*handle)(const QuantumS* content);
};

constexpr HandleRequest kHandleRequests[] = {
    {SfsRequest::Close, u"Closing handle", HandleField<QtSfsClose>},
    {SfsRequest::Read, u"Reading file", HandleField<QtSfsRead>},
    {SfsRequest::Write, u"Writing file", HandleField<QtSfsWrite>},
    {SfsRequest::FStat, u"Reading attributes", HandleField<QtSfsFStat>},
    {SfsRequest::FSetStat, u"Writing attributes", HandleField<QtSfsFSetStat>},
    {SfsRequest::ReadDir, u"Listing directory", HandleField<QtSfsReadDir>},
    {SfsRequest::Block, u"Blocking file", HandleField<QtSfsBlock>},
    {SfsRequest::Unblock, u"Unblocking file", HandleField<QtSfsUnblock>},
    {SfsRequest::TextSeek, u"Moving position of text file", HandleField<QtSfsTextSeek>},
    {SfsRequest::CheckFileHandle, u"Hashing file", HandleField<QtSfsCheckFileHandle>},
    {SfsRequest::FSync, u"Flushing file", HandleField<QtSfsFSync>},
};

}  // namespace

RefPtr<QtBytes> SfsHandles::NextHandle() {
    ++m_counter;
    uint8_t bytes[8];
    size_t count = 0;
    for (uint64_t rest = m_counter; rest != 0; rest >>= 8) bytes[count++] = rest & 0xFF;
    return MakeRef<QtBytes>(bytes, count);
}

FsObj::FsObj(RefPtr<QtStr> sfsPath, RefPtr<QtStr> winPath, RefPtr<QtBytes> handle,
             RefPtr<QtOutPort<QtSfsLog>> outLog)
    : m_sfsPath(std::move(sfsPath)),
      m_winPath(std::move(winPath)),
      m_handle(std::move(handle)),
      m_outLog(std::move(outLog)) {
    if (!m_handle) m_handle = MakeRef<QtBytes>();
    if (!m_winPath) m_winPath = MakeStr(u"");
}

FsObj::~FsObj() = default;

WString FsObj::Description() {
    if (AsRoot()) return WString(u"logical drives");
    WString text(AsFile() ? u"file '" : u"directory '");
    text += m_winPath->Str();
    text += u"'";
    return text;
}

WString FsObj::Summary() {
    if (FsFile* file = AsFile()) return file->m_accounting.Summary();
    if (FsDir* dir = AsDir()) return dir->m_listing.Summary();
    return AsRoot()->m_listing.Summary();
}

FsFile::FsFile(RefPtr<QtStr> sfsPath, RefPtr<QtStr> winPath, RefPtr<QtBytes> handle,
               RefPtr<QtOutPort<QtSfsLog>> outLog, FileTimeClock clock)
    : FsObj(std::move(sfsPath), std::move(winPath), std::move(handle), std::move(outLog)),
      m_accounting(std::move(clock)) {}

FsFile::~FsFile() {
    if (m_file != nullptr && m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
}

FsDir::~FsDir() {
    if (m_find != nullptr && m_find != INVALID_HANDLE_VALUE) FindClose(m_find);
}

void HandleTable::Add(std::unique_ptr<FsObj> object) {
    std::string_view key = KeyOf(*object->Handle());
    if (m_objects.contains(key))
        ExitWith(u"KilnSfsWin: Adding FS object failed: The associated handle is already used");
    m_objects.emplace(key, std::move(object));
}

void HandleTable::Remove(const QtBytes& handle) {
    auto it = m_objects.find(KeyOf(handle));
    if (it == m_objects.end())
        ExitWith(u"KilnSfsWin: Removing FS object failed: The provided handle does not exist");
    // Out of the table first: the object's destructor may take a while to
    // close its handle, and the key views the object's own bytes.
    std::unique_ptr<FsObj> object = std::move(it->second);
    m_objects.erase(it);
}

FsObj* HandleTable::Find(const QtBytes& handle) const {
    auto it = m_objects.find(KeyOf(handle));
    return it == m_objects.end() ? nullptr : it->second.get();
}

void HandleTable::ForEach(const std::function<void(FsObj&)>& visit) const {
    for (const auto& [key, object] : m_objects) visit(*object);
}

void HandleTable::Clear() {
    // Destroy one at a time so that no key outlives the bytes it views.
    while (!m_objects.empty()) {
        auto it = m_objects.begin();
        std::unique_ptr<FsObj> object = std::move(it->second);
        m_objects.erase(it);
    }
}

FsObj& ExtractFsObj(KilnSfsProvider& provider, const HandleTable& table,
                    const QtSfsRequest& request) {
    for (const HandleRequest& entry : kHandleRequests) {
        if (entry.type != request.m_type) continue;
        const QtBytes* handle = entry.handle(request.m_content.get());
        if (FsObj* object = handle ? table.Find(*handle) : nullptr) return *object;
        provider.LogRequest(
            request, SfsLogType::Error,
            WString(u"KilnSfsWin: ") + entry.operation + u" failed with InvalidHandle.");
        RaiseStatus(SfsStatusCode::InvalidHandle);
    }
    ExitWith(u"KilnSfsWin: Requested handle extraction for " + EnumText(request.m_type) +
             u" packet");
}

}  // namespace kiln::KilnSfsWin
