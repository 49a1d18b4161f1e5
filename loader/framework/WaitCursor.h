// The wait cursor for as long as the object lives.
#pragma once

#include <windows.h>

class CWaitCursor {
public:
    CWaitCursor() : m_previous(SetCursor(LoadCursor(nullptr, IDC_WAIT))) {}
    CWaitCursor(const CWaitCursor &) = delete;
    CWaitCursor &operator=(const CWaitCursor &) = delete;
    ~CWaitCursor() { SetCursor(m_previous); }

private:
    HCURSOR m_previous;
};
