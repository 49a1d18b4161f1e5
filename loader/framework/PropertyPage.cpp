#include "framework/PropertyPage.h"

CPropertyPage::CPropertyPage(UINT templateId) : m_templateId(templateId) {}

HPROPSHEETPAGE CPropertyPage::CreatePage()
{
    PROPSHEETPAGEA page = {};
    page.dwSize = sizeof page;
    page.hInstance = GetModuleHandleA(nullptr);
    page.pszTemplate = MAKEINTRESOURCEA(m_templateId);
    page.pfnDlgProc = PageProc;
    page.lParam = reinterpret_cast<LPARAM>(this);
    return CreatePropertySheetPageA(&page);
}

bool CPropertyPage::OnCommand(UINT, UINT) { return false; }

std::string CPropertyPage::ItemText(int id) const
{
    HWND item = GetDlgItem(m_hWnd, id);
    std::string text(static_cast<size_t>(GetWindowTextLengthA(item)) + 1, '\0');
    text.resize(static_cast<size_t>(GetWindowTextA(item, &text[0], static_cast<int>(text.size()))));
    return text;
}

INT_PTR CPropertyPage::OnNotify(const NMHDR *header)
{
    LRESULT result = 0;
    switch (header->code) {
    case PSN_SETACTIVE:
        result = OnSetActive() ? 0 : -1;
        break;
    case PSN_WIZNEXT:
        result = OnWizardNext();
        break;
    case PSN_WIZBACK:
        result = OnWizardBack();
        break;
    case PSN_QUERYCANCEL:
        result = OnQueryCancel() ? FALSE : TRUE;
        break;
    default:
        return FALSE;
    }
    SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, result);
    return TRUE;
}

INT_PTR CALLBACK CPropertyPage::PageProc(HWND page, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_INITDIALOG) {
        auto *self = reinterpret_cast<CPropertyPage *>(reinterpret_cast<PROPSHEETPAGEA *>(lp)->lParam);
        self->m_hWnd = page;
        SetWindowLongPtrA(page, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        return self->OnInitDialog();
    }
    auto *self = reinterpret_cast<CPropertyPage *>(GetWindowLongPtrA(page, DWLP_USER));
    if (!self) return FALSE;
    switch (msg) {
    case WM_NOTIFY:
        return self->OnNotify(reinterpret_cast<NMHDR *>(lp));
    case WM_COMMAND:
        return self->OnCommand(LOWORD(wp), HIWORD(wp));
    case WM_NCDESTROY:
        self->m_hWnd = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}
