#include "TaviWizMain.h"

#include "Delivery.h"
#include "res/resource.h"

#include <windowsx.h>

namespace {

// The option check boxes in the order of the ".tav" record.
const int kOptionControls[kOptionCount] = {IDC_OPTION_IA,  IDC_OPTION_RAS,     IDC_OPTION_VOIP,
                                           IDC_OPTION_ACD, IDC_OPTION_LUMASET, IDC_OPTION_FARLINK};
const UINT kTexts[] = {IDC_DELIVERY_LABEL, IDC_OPTION_IA,     IDC_OPTION_RAS,    IDC_OPTION_VOIP,
                       IDC_OPTION_LUMASET, IDC_OPTION_FARLINK, IDC_OPTION_ACD,    IDC_VERSION_LABEL,
                       IDC_COUNTRY_LABEL,  IDC_PACKAGES};
const int kShownWithOptions[] = {IDC_OPTION_IA,      IDC_OPTION_VOIP,    IDC_OPTION_RAS,    IDC_OPTION_ACD,
                                 IDC_OPTION_LUMASET, IDC_LUMASET_LINE1, IDC_LUMASET_LINE2, IDC_OPTION_FARLINK};
constexpr int kMaxFolderText = 260;

std::string ItemText(HWND dialog, int id)
{
    char text[kMaxFolderText + 1] = {};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

}  // namespace

CTaviWizMain::CTaviWizMain(CDelivery *delivery) : CMyPages(IDD_MAIN_PAGE), m_delivery(delivery) {}

MainPageRecord CTaviWizMain::Record()
{
    if (m_hWnd) UpdateData(true);
    return m_values;
}

void CTaviWizMain::Load(const MainPageRecord &record)
{
    m_values = record;
    if (m_delivery) m_delivery->SetDeliveryPath(record.deliveryFolder);
    if (m_hWnd) UpdateData(false);
}

std::string CTaviWizMain::SelectedCountry()
{
    if (m_hWnd) UpdateData(true);
    const std::int32_t selected = m_values.selectedCountry;
    if (selected < 0 || static_cast<size_t>(selected) >= m_values.countries.size()) return "";
    return m_values.countries[static_cast<size_t>(selected)];
}

void CTaviWizMain::UpdateData(bool save)
{
    HWND list = GetDlgItem(m_hWnd, IDC_COUNTRY);
    if (save) {
        m_values.deliveryFolder = ItemText(m_hWnd, IDC_DELIVERY_FOLDER);
        for (int i = 0; i < kOptionCount; ++i)
            m_values.options[static_cast<size_t>(i)] = IsDlgButtonChecked(m_hWnd, kOptionControls[i]) == BST_CHECKED;
        m_values.countries.clear();
        const int count = ComboBox_GetCount(list);
        for (int i = 0; i < count; ++i) {
            std::string entry(static_cast<size_t>(ComboBox_GetLBTextLen(list, i)) + 1, '\0');
            ComboBox_GetLBText(list, i, &entry[0]);
            m_values.countries.push_back(entry.c_str());
        }
        m_values.selectedCountry = ComboBox_GetCurSel(list);
        return;
    }
    SetDlgItemTextA(m_hWnd, IDC_DELIVERY_FOLDER, m_values.deliveryFolder.c_str());
    for (int i = 0; i < kOptionCount; ++i)
        CheckDlgButton(m_hWnd, kOptionControls[i], m_values.options[static_cast<size_t>(i)] ? BST_CHECKED : BST_UNCHECKED);
    ComboBox_ResetContent(list);
    for (const std::string &country : m_values.countries) ComboBox_AddString(list, country.c_str());
    ComboBox_SetCurSel(list, m_values.selectedCountry);
}

void CTaviWizMain::ShowOptions(bool show)
{
    for (int id : kShownWithOptions) ShowWindow(GetDlgItem(m_hWnd, id), show ? SW_SHOW : SW_HIDE);
}

bool CTaviWizMain::CheckDelivery(CDelivery *delivery, const std::string &)
{
    const bool usable = delivery && delivery->ReadDelivery();
    if (usable) {
        g_deliveryVersion = delivery->Version();
        g_deliverySubVersion = delivery->SubVersion();
        if (m_hWnd) UpdateData(true);
        m_values.countries = delivery->Countries();
        if (m_values.selectedCountry >= static_cast<std::int32_t>(m_values.countries.size()))
            m_values.selectedCountry = -1;
    }
    if (!m_hWnd) return usable;
    if (usable) {
        SetDlgItemTextA(m_hWnd, IDC_RELEASE, delivery->GetReleaseText().c_str());
        UpdateData(false);
        EnableWindow(GetDlgItem(m_hWnd, IDC_COUNTRY), TRUE);
    }
    ShowOptions(usable);
    SetWizardButtons(usable ? PSWIZB_NEXT : 0);
    return usable;
}

void CTaviWizMain::ReloadTexts() { SetTextsById(kTexts, sizeof kTexts / sizeof kTexts[0]); }

BOOL CTaviWizMain::OnInitDialog()
{
    SendDlgItemMessageA(m_hWnd, IDC_DELIVERY_FOLDER, EM_LIMITTEXT, kMaxFolderText, 0);
    UpdateData(false);
    return TRUE;
}

BOOL CTaviWizMain::OnSetActive()
{
    if (m_delivery) m_delivery->SetDeliveryPath(ItemText(m_hWnd, IDC_DELIVERY_FOLDER));
    CheckDelivery(m_delivery, "");
    ReloadTexts();
    return TRUE;
}
