#include "framework/Dialog.h"

#include "framework/ModalWait.h"

INT_PTR CDialog::DoModal(HWND parent)
{
    if (ModalWait::ClosePending()) return IDCANCEL;
    ModalWait wait;
    return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_templateId), parent, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

void CDialog::EndDialog(INT_PTR result) { ::EndDialog(m_hWnd, result); }

bool CDialog::OnCommand(UINT id, UINT)
{
    if (id != IDOK && id != IDCANCEL) return false;
    EndDialog(id);
    return true;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_INITDIALOG) {
        auto *self = reinterpret_cast<CDialog *>(lp);
        self->m_hWnd = dlg;
        SetWindowLongPtrA(dlg, DWLP_USER, lp);
        return self->OnInitDialog();
    }
    auto *self = reinterpret_cast<CDialog *>(GetWindowLongPtrA(dlg, DWLP_USER));
    if (!self) return FALSE;
    switch (msg) {
    case WM_COMMAND:
        return self->OnCommand(LOWORD(wp), HIWORD(wp));
    case WM_TIMER:
        self->OnTimer(wp);
        return TRUE;
    case WM_NCDESTROY:
        self->m_hWnd = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}
