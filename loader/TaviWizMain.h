// The wizard's first page (dialog 107): the delivery folder, its release text, the country and the options
// that go into the target file. The document owns it; its values are the Main page's ".tav" record.
#pragma once

#include "MyPages.h"
#include "TavFile.h"

class CDelivery;

class CTaviWizMain : public CMyPages {
public:
    explicit CTaviWizMain(CDelivery *delivery);

    // The page's values, taken from the controls first when the page's window exists.
    MainPageRecord Record();
    // Loaded values: the folder also becomes the delivery's folder; the controls show them when they exist.
    void Load(const MainPageRecord &record);
    // Reads the delivery and keeps its version; false when it is not usable. The sheet learns it through
    // the Next button.
    bool CheckDelivery(CDelivery *delivery, const std::string &text);
    // The text of the selected country, or empty.
    std::string SelectedCountry();

    void ReloadTexts() override;

protected:
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    LRESULT OnWizardNext() override;
    bool OnCommand(UINT id, UINT code) override;

private:
    // Moves the values between the members and the controls (save: from the controls).
    void UpdateData(bool save);
    void ShowOptions(bool show);
    // The version and board-type rules of the option boxes.
    void ApplyOptionRules(int version);
    void Browse();
    // The short road below version 300: target file and services, then the Install page.
    LRESULT PrepareShortRoad();

    CDelivery *m_delivery;
    MainPageRecord m_values;
};
