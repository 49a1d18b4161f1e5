// The loader's main window: the frame of class "TaviApp" with its menu, status bar and connection icon.
#pragma once

#include "framework/DocView.h"

#include <commctrl.h>

#include <string>

class CMainFrame : public CFrameWnd {
public:
    ~CMainFrame() override;

    // Shows the connected (147) or not-connected (148) icon in the status bar's pane 4.
    void SetConnectionIcon(bool connected);
    // Text for the message pane instead of "Ready".
    void SetStatusText(const std::string &text);
    void SetStatusTextId(UINT id);
    // The status-bar text of a command or prompt id (the idle prompt 57345 gives the stored status).
    std::string GetMessageString(UINT id) const;
    // The tool tip of a command: its text's part after the last "\n".
    static std::string ToolTipText(UINT id);
    HWND StatusBar() const { return m_statusBar; }
    HWND ToolBar() const { return m_toolBar; }
    bool ConnectedIconShown() const;

protected:
    // The frame cannot be resized by its border.
    DWORD FrameStyle() const override { return CFrameWnd::FrameStyle() & ~WS_THICKFRAME; }
    int OnCreate() override;
    RECT ViewArea() override;
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
    void ShowMessagePane(const std::string &text);
    void LayoutStatusPanes();
    bool CreateToolBar();
    LRESULT OnNotify(NMHDR *header);

    std::string m_statusText;
    UINT m_statusTextId = 0;
    HWND m_statusBar = nullptr;
    HWND m_toolBar = nullptr;
    HICON m_notConnectedIcon = nullptr;
    HICON m_connectedIcon = nullptr;
};
