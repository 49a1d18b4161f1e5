// The start-up splash (dialog 138): the picture alone, closed by its own timer.
#pragma once

#include "framework/Dialog.h"

class CSplashDlg : public CDialog {
public:
    // How long the splash stays; tests shorten it.
    static UINT s_showMillis;
    CSplashDlg();

protected:
    BOOL OnInitDialog() override;
    void OnTimer(UINT_PTR id) override;

private:
    UINT_PTR m_timer = 0;
};
