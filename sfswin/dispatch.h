// The dispatch table: for every request type the backend knows, the content
// class the request must carry and the handler that serves it. A type absent
// from the table, or present without a handler yet, is answered OpUnsupported.
#pragma once

#include "platform/resolution_scope.h"
#include "sfswin/kiln_sfs_win.h"

namespace kiln::KilnSfsWin {

struct DispatchEntry {
    SfsRequest type;
    const char* contentTypeId;
    bool (*carriesContent)(const QuantumS* content);  // of the class the type requires
    KilnSfsWin::Handler handler;                      // null: not served yet
    // A request that changes nothing lets the platform open its object once
    // for all of the handler's queries (platform/resolution_scope.h).
    platform::RequestKind kind;
};

// Null for a type that is not in the table.
const DispatchEntry* FindDispatchEntry(SfsRequest type);

// Routes one request inside a resolution scope of the entry's kind, so that
// the handler's calls share the directories they resolve and the next
// request resolves afresh. A known type with missing or wrong content raises
// KilnComponent::Exit; an unknown or unserved type is logged at Warning and
// answered OpUnsupported; otherwise the handler answers.
void Dispatch(KilnSfsWin& provider, const QtSfsRequest& request);

}  // namespace kiln::KilnSfsWin
