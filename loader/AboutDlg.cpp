#include "AboutDlg.h"

#include "TaviString.h"
#include "res/resource.h"

#include <vector>

namespace {

const char kVersionBlock[] = "\\StringFileInfo\\040904B0\\";
const char *const kVersionKeys[kVersionStringCount] = {
    "Comments",         "CompanyName",  "FileDescription", "FileVersion", "InternalName",   "LegalCopyright",
    "LegalTrademarks", "OriginalFilename", "PrivateBuild", "ProductName", "ProductVersion", "SpecialBuild"};

void SetItemText(HWND dlg, int id, const std::string &text) { SetDlgItemTextA(dlg, id, text.c_str()); }

}  // namespace

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX)
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) return;
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(path, 0, size, block.data())) return;
    for (int i = 0; i < kVersionStringCount; ++i) {
        char *value = nullptr;
        UINT length = 0;
        const std::string key = std::string(kVersionBlock) + kVersionKeys[i];
        if (VerQueryValueA(block.data(), key.c_str(), reinterpret_cast<void **>(&value), &length) && value)
            m_version[i] = value;
    }
}

BOOL CAboutDlg::OnInitDialog()
{
    RECT frame;
    GetClientRect(GetDlgItem(m_hWnd, IDC_ABOUT_FRAME), &frame);
    SetWindowPos(GetDlgItem(m_hWnd, IDC_ABOUT_ICON), nullptr, 0, 0, frame.right, frame.bottom,
                 SWP_NOMOVE | SWP_NOZORDER);
    SetItemText(m_hWnd, IDC_ABOUT_PRODUCT,
                m_version[kProductName] + " - " + m_version[kInternalName] + "/" + m_version[kFileVersion]);
    SetItemText(m_hWnd, IDC_ABOUT_PRODUCT_VERSION, m_version[kProductVersion]);
    SetItemText(m_hWnd, IDC_ABOUT_SPECIAL_BUILD, " [ " + m_version[kSpecialBuild] + " ] ");
    SetItemText(m_hWnd, IDC_ABOUT_COPYRIGHT, m_version[kLegalCopyright]);
    SetItemText(m_hWnd, IDC_ABOUT_TEXT, CTaviString::LoadOr(IDS_ABOUT_TEXT, "").Str());
    return TRUE;
}
