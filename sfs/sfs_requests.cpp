#include "sfs/sfs_requests.h"

#include "quantum/registration.h"

namespace kiln {

const char* SfsRequestContentTypeId(SfsRequest type) {
    switch (type) {
        case SfsRequest::Open:
            return QtSfsOpen::kTypeId;
        case SfsRequest::Close:
            return QtSfsClose::kTypeId;
        case SfsRequest::Read:
            return QtSfsRead::kTypeId;
        case SfsRequest::Write:
            return QtSfsWrite::kTypeId;
        case SfsRequest::FStat:
            return QtSfsFStat::kTypeId;
        case SfsRequest::SetStat:
        case SfsRequest::LSetStat:
            return QtSfsSetStat::kTypeId;
        case SfsRequest::FSetStat:
            return QtSfsFSetStat::kTypeId;
        case SfsRequest::OpenDir:
            return QtSfsOpenDir::kTypeId;
        case SfsRequest::ReadDir:
            return QtSfsReadDir::kTypeId;
        case SfsRequest::Remove:
            return QtSfsRemove::kTypeId;
        case SfsRequest::MkDir:
            return QtSfsMkDir::kTypeId;
        case SfsRequest::RmDir:
            return QtSfsRmDir::kTypeId;
        case SfsRequest::RealPath:
            return QtSfsRealPath::kTypeId;
        case SfsRequest::Stat:
            return QtSfsStat::kTypeId;
        case SfsRequest::Rename:
            return QtSfsRename::kTypeId;
        case SfsRequest::ReadLink:
            return QtSfsReadLink::kTypeId;
        case SfsRequest::Link:
            return QtSfsLink::kTypeId;
        case SfsRequest::Block:
            return QtSfsBlock::kTypeId;
        case SfsRequest::Unblock:
            return QtSfsUnblock::kTypeId;
        case SfsRequest::TextSeek:
            return QtSfsTextSeek::kTypeId;
        case SfsRequest::CheckFileHandle:
            return QtSfsCheckFileHandle::kTypeId;
        case SfsRequest::CheckFileName:
            return QtSfsCheckFileName::kTypeId;
        case SfsRequest::SpaceAvail:
            return QtSfsSpaceAvail::kTypeId;
        case SfsRequest::HomeDir:
            return QtSfsHomeDir::kTypeId;
        case SfsRequest::FSync:
            return QtSfsFSync::kTypeId;
    }
    return nullptr;
}

KILN_REGISTER_QUANTUM(QtSfsRequest);
KILN_REGISTER_QUANTUM(QtSfsOpen);
KILN_REGISTER_QUANTUM(QtSfsClose);
KILN_REGISTER_QUANTUM(QtSfsRead);
KILN_REGISTER_QUANTUM(QtSfsWrite);
KILN_REGISTER_QUANTUM(QtSfsFStat);
KILN_REGISTER_QUANTUM(QtSfsSetStat);
KILN_REGISTER_QUANTUM(QtSfsFSetStat);
KILN_REGISTER_QUANTUM(QtSfsOpenDir);
KILN_REGISTER_QUANTUM(QtSfsReadDir);
KILN_REGISTER_QUANTUM(QtSfsRemove);
KILN_REGISTER_QUANTUM(QtSfsMkDir);
KILN_REGISTER_QUANTUM(QtSfsRmDir);
KILN_REGISTER_QUANTUM(QtSfsRealPath);
KILN_REGISTER_QUANTUM(QtSfsStat);
KILN_REGISTER_QUANTUM(QtSfsRename);
KILN_REGISTER_QUANTUM(QtSfsReadLink);
KILN_REGISTER_QUANTUM(QtSfsLink);
KILN_REGISTER_QUANTUM(QtSfsBlock);
KILN_REGISTER_QUANTUM(QtSfsUnblock);
KILN_REGISTER_QUANTUM(QtSfsTextSeek);
KILN_REGISTER_QUANTUM(QtSfsCheckFileHandle);
KILN_REGISTER_QUANTUM(QtSfsCheckFileName);
KILN_REGISTER_QUANTUM(QtSfsSpaceAvail);
KILN_REGISTER_QUANTUM(QtSfsHomeDir);
KILN_REGISTER_QUANTUM(QtSfsFSync);

}  // namespace kiln
