// The wizard's second page (dialog 139): the installation type and the storage folder for the operations
// that keep the board's data. The document owns it; its values are the second ".tav" record.
#pragma once

#include "MyPages.h"
#include "TavFile.h"

class CDelivery;

class CTaviWizSecond : public CMyPages {
public:
    explicit CTaviWizSecond(CDelivery *delivery);

    // The values to save: from the controls when the page's window exists; those last loaded when it was
    // never shown; type 1 with no folder when it was neither shown nor loaded.
    InstallTypeRecord Record();
    void Load(const InstallTypeRecord &record);

    int InstallationType() const { return m_type; }
    const std::string &StorageFolder() const { return m_storageFolder; }

    void ReloadTexts() override;

protected:
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    LRESULT OnWizardBack() override;
    LRESULT OnWizardNext() override;
    BOOL OnQueryCancel() override;
    bool OnCommand(UINT id, UINT code) override;

private:
    void UpdateData(bool save);
    void Browse();
    // The target files, the served folder and the services of the chosen type; the page to go to.
    LRESULT Prepare(LRESULT nextPage);

    CDelivery *m_delivery;
    int m_type = 0;
    std::string m_storageFolder;
    bool m_loaded = false;
    bool m_shownBefore = false;
};
