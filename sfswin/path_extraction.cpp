// The first step of every path-based handler: pick the path out of the
// request, map it, and answer NoSuchPath when it is unusable. A client learns
// only that the path does not exist; why is told in the log alone, so an
// escape attempt looks like any missing path.
#include "sfswin/error_mapping.h"
#include "sfswin/kiln_sfs_win.h"

namespace kiln::KilnSfsWin {

namespace {

template <class Content, RefPtr<QtStr> Content::*Field>
const QtStr* PathField(const QuantumS* content) {
    auto* typed = QuantumPtrCast<const Content>(content);
    return typed ? (typed->*Field).get() : nullptr;
}

struct PathRequest {
    SfsRequest type;
    const char16_t* operation;  // opens the failure text
    const QtStr* (*path)(const QuantumS* content);
};

constexpr PathRequest kPathRequests[] = {
    {SfsRequest::Open, u"Opening file", PathField<QtSfsOpen, &QtSfsOpen::m_fileName>},
    {SfsRequest::SetStat, u"Writing attributes for",
     PathField<QtSfsSetStat, &QtSfsSetStat::m_path>},
    {SfsRequest::LSetStat, u"Writing attributes for",
     PathField<QtSfsSetStat, &QtSfsSetStat::m_path>},
    {SfsRequest::OpenDir, u"Opening directory", PathField<QtSfsOpenDir, &QtSfsOpenDir::m_path>},
    {SfsRequest::Remove, u"Removing file", PathField<QtSfsRemove, &QtSfsRemove::m_fileName>},
    {SfsRequest::MkDir, u"Creating directory", PathField<QtSfsMkDir, &QtSfsMkDir::m_path>},
    {SfsRequest::RmDir, u"Removing directory", PathField<QtSfsRmDir, &QtSfsRmDir::m_path>},
    {SfsRequest::RealPath, u"Querying real path for",
     PathField<QtSfsRealPath, &QtSfsRealPath::m_originalPath>},
    {SfsRequest::Stat, u"Reading attributes for", PathField<QtSfsStat, &QtSfsStat::m_path>},
    {SfsRequest::ReadLink, u"Resolving symbolic link",
     PathField<QtSfsReadLink, &QtSfsReadLink::m_path>},
    {SfsRequest::CheckFileName, u"Hashing file",
     PathField<QtSfsCheckFileName, &QtSfsCheckFileName::m_fileName>},
    {SfsRequest::SpaceAvail, u"Querying available space on",
     PathField<QtSfsSpaceAvail, &QtSfsSpaceAvail::m_path>},
};

std::u16string_view TextOf(const RefPtr<QtStr>& text) {
    return text ? std::u16string_view(text->Str()) : std::u16string_view();
}

// " Path is invalid." and its kin; `subject` is "", "Old ", "New link " ...
WString Reason(PathCheck check, std::u16string_view subject) {
    WString reason(u" ");
    if (subject.empty()) {
        reason += check == PathCheck::Outside ? u"Path points outside this provider."
                                              : u"Path is invalid.";
        return reason;
    }
    reason += subject;
    reason +=
        check == PathCheck::Outside ? u"path points outside this provider." : u"path is invalid.";
    return reason;
}

[[noreturn]] void FailNoSuchPath(KilnSfsProvider& provider, const QtSfsRequest& request,
                                 const WString& text) {
    provider.LogRequest(request, SfsLogType::Error, text);
    RaiseStatus(SfsStatusCode::NoSuchPath);
}

}  // namespace

WString KilnSfsWin::ExtractSfsPath(const QtSfsRequest& request) {
    for (const PathRequest& entry : kPathRequests) {
        if (entry.type != request.m_type) continue;
        const QtStr* field = entry.path(request.m_content.get());
        MappedPath mapped = MapSfsPath(field ? std::u16string_view(field->Str()) : u"");
        if (mapped.check == PathCheck::Valid) return std::move(mapped.path);
        FailNoSuchPath(*this, request,
                       WString(u"KilnSfsWin: ") + entry.operation + u" '" + mapped.path +
                           u"' failed with NoSuchPath." + Reason(mapped.check, u""));
    }
    throw Exit(
        ErrCls::Kiln, 0,
        u"KilnSfsWin: Requested path extraction for " + EnumText(request.m_type) + u" packet");
}

KilnSfsWin::PathPair KilnSfsWin::ExtractSfsPaths(const QtSfsRequest& request) {
    if (auto* rename = dynamic_cast<const QtSfsRename*>(request.m_content.get());
        rename && request.m_type == SfsRequest::Rename) {
        MappedPath oldPath = MapSfsPath(TextOf(rename->m_oldPath));
        MappedPath newPath = MapSfsPath(TextOf(rename->m_newPath));
        if (oldPath.check == PathCheck::Valid && newPath.check == PathCheck::Valid)
            return PathPair{std::move(oldPath.path), std::move(newPath.path)};
        WString text = u"KilnSfsWin: Moving '" + oldPath.path + u"' to '" + newPath.path +
                       u"' failed with NoSuchPath.";
        if (oldPath.check != PathCheck::Valid) text += Reason(oldPath.check, u"Old ");
        if (newPath.check != PathCheck::Valid) text += Reason(newPath.check, u"New ");
        FailNoSuchPath(*this, request, text);
    }
    if (auto* link = dynamic_cast<const QtSfsLink*>(request.m_content.get());
        link && request.m_type == SfsRequest::Link) {
        MappedPath newLink = MapSfsPath(TextOf(link->m_newLinkPath));
        // A symbolic link's relative target is checked where it leads from
        // the link's directory; the link keeps the text itself.
        MappedPath existing = link->m_symlink ? ::kiln::KilnSfsWin::MapSymlinkTarget(
                                                    RootPath(), TextOf(link->m_newLinkPath),
                                                    TextOf(link->m_existingPath))
                                              : MapSfsPath(TextOf(link->m_existingPath));
        if (newLink.check == PathCheck::Valid && existing.check == PathCheck::Valid)
            return PathPair{std::move(newLink.path), std::move(existing.path)};
        WString text = WString(u"KilnSfsWin: Creating") +
                       (link->m_symlink ? u" symbolic" : u" hard") + u" link '" + newLink.path +
                       u"' to '" + existing.path + u"' failed with NoSuchPath. ";
        if (newLink.check != PathCheck::Valid) text += Reason(newLink.check, u"New link ");
        if (existing.check != PathCheck::Valid) text += Reason(existing.check, u"Existing ");
        FailNoSuchPath(*this, request, text);
    }
    throw Exit(
        ErrCls::Kiln, 0,
        u"KilnSfsWin: Requested paths extraction for " + EnumText(request.m_type) + u" packet");
}

}  // namespace kiln::KilnSfsWin
