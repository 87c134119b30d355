// How a failed Windows call inside a request handler becomes the answer and
// the log line: the Windows error code picks the status, the status gives the
// suffix after the word "failed", and the SystemError describes the call.
#pragma once

#include <string_view>
#include <type_traits>

#include "nocrtlib/exceptions.h"
#include "nocrtlib/ncstring.h"
#include "platform/win32_base.h"
#include "sfs/kiln_sfs_provider.h"
#include "sfs/sfs_enums.h"
#include "sfs/status_texts.h"

namespace kiln::KilnSfsWin {

// The status a client sees for a Windows error; anything not listed is a
// plain Failure.
SfsStatusCode MapWindowsError(DWORD code);

// The suffix is the generic provider's; the backend uses it unchanged.
using kiln::StatusSuffix;

// What a handler does with a SystemError that escaped its Windows calls.
struct HandlerFailure {
    SfsStatusCode code;
    // "KilnSfsWin: " + action + " failed" + suffix + ". " + description.
    WString logText;
};

// `action` is the handler's progressive phrase with its object, for example
// "Removing file 'C:\x'".
HandlerFailure DescribeHandlerFailure(std::u16string_view action, const SystemError& error);

// The same with a status of the handler's choosing (a handler that corrects
// the mapped status, say a directory given to Remove).
HandlerFailure DescribeHandlerFailure(std::u16string_view action, SfsStatusCode code,
                                      const SystemError& error);

// A handler abandons its request by raising the status reply; the dispatcher
// sends it as the Status response and goes on with the next request.
[[noreturn]] void RaiseStatus(const RefPtr<QtSfsStatus>& status);
// With the code's standard text.
[[noreturn]] void RaiseStatus(SfsStatusCode code);

// The handler pattern: logs the failure at Error on the request's log port
// and raises the mapped status with its standard text.
[[noreturn]] void FailRequest(KilnSfsProvider& provider, const QtSfsRequest& request,
                              const HandlerFailure& failure);

// Runs a handler's mandatory Windows calls; a SystemError that escapes them
// ends the request through FailRequest, with `action` naming what was being
// done ("Removing file 'C:\x'").
template <class Body>
auto WithWindowsErrors(KilnSfsProvider& provider, const QtSfsRequest& request,
                       std::u16string_view action, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const SystemError& error) {
        FailRequest(provider, request, DescribeHandlerFailure(action, error));
    }
}

// The same with the action's text made only when it is needed: a handler on
// the hot path builds no text for a failure that does not happen.
template <class Action, class Body>
requires std::is_invocable_r_v<WString, Action>
auto WithWindowsErrors(KilnSfsProvider& provider, const QtSfsRequest& request, Action&& action,
                       Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const SystemError& error) {
        FailRequest(provider, request, DescribeHandlerFailure(action(), error));
    }
}

}  // namespace kiln::KilnSfsWin
