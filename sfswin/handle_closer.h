// Closes a Windows handle (file, thread, event, token) when the scope ends:
// the backend's handlers leave by exception as often as by return.
#pragma once

#include "platform/win32.h"

namespace kiln::KilnSfsWin {

class HandleCloser {
  public:
    HandleCloser() = default;
    explicit HandleCloser(HANDLE handle) : m_handle(handle) {}
    ~HandleCloser() {
        if (m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
    }
    HandleCloser(const HandleCloser&) = delete;
    HandleCloser& operator=(const HandleCloser&) = delete;
    // Takes a handle opened after the closer was made.
    void Hold(HANDLE handle) { m_handle = handle; }

  private:
    HANDLE m_handle = nullptr;
};

}  // namespace kiln::KilnSfsWin
