// Single-document architecture: one document, one frame window with its view, built by a template.
#pragma once

#include "framework/Wnd.h"

#include <functional>
#include <memory>
#include <string>

class CFrameWnd;

class CDocument {
public:
    virtual ~CDocument() = default;
    // A fresh, empty document (File New).
    virtual bool OnNewDocument();
    // Loads the document from a file that opened for reading.
    virtual bool OnOpenDocument(const std::string &path);
    // Writes the document to the file; false (reported) when it cannot be written.
    virtual bool OnSaveDocument(const std::string &path);
    // Save (to the document's own file, or asking for a name first) and Save As (always asking).
    bool DoSave(bool askName);
    // Empties the document before it is reused.
    virtual void DeleteContents() {}

    const std::string &GetPathName() const { return m_path; }
    void SetPathName(const std::string &path);
    // The frame title: the file name without folder, or "Untitled".
    std::string GetTitle() const;
    void SetFrame(CFrameWnd *frame) { m_frame = frame; }

private:
    std::string m_path;
    CFrameWnd *m_frame = nullptr;
};

class CView : public CWnd {
public:
    CDocument *GetDocument() const { return m_document; }
    // Creates the view as a child of the frame that fills its client area.
    bool Create(CFrameWnd *frame, CDocument *document);
    // After the document is new or loaded.
    virtual void OnInitialUpdate() {}

protected:
    // WM_CREATE of the view; -1 fails the creation.
    virtual int OnCreate() { return 0; }
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
    CDocument *m_document = nullptr;
};

class CFrameWnd : public CWnd {
public:
    // Creates the frame window of the given window class, with menu and icon of the resource id.
    bool LoadFrame(UINT resourceId, const char *windowClass);
    CView *GetActiveView() const { return m_view.get(); }
    void SetView(std::unique_ptr<CView> view) { m_view = std::move(view); }
    // The title shown: document title + " - " + application title.
    void UpdateTitle(const std::string &documentTitle);
    // The menu that a frame falls back to; replaced with the language module's menu.
    HMENU GetDefaultMenu() const { return m_defaultMenu; }
    void SetDefaultMenu(HMENU menu) { m_defaultMenu = menu; }

protected:
    // The frame window's style, fixed before the window is created.
    virtual DWORD FrameStyle() const { return WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN; }
    // After the window exists; -1 fails the frame.
    virtual int OnCreate() { return 0; }
    // The area left for the view after bars took theirs.
    virtual RECT ViewArea();
    // Menu and toolbar commands; the default hands them to the view, then the application.
    virtual bool OnCommand(UINT id);
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;
    // The window is gone: the template ends this frame, its view and the document.
    void PostNcDestroy() override;

public:
    void RecalcLayout();

private:
    std::unique_ptr<CView> m_view;
    HMENU m_defaultMenu = nullptr;
    HACCEL m_accelerators = nullptr;

    friend class CWinApp;
};

class CSingleDocTemplate {
public:
    using DocumentFactory = std::function<std::unique_ptr<CDocument>()>;
    using FrameFactory = std::function<std::unique_ptr<CFrameWnd>()>;
    using ViewFactory = std::function<std::unique_ptr<CView>()>;

    CSingleDocTemplate(UINT resourceId, const char *windowClass, DocumentFactory document, FrameFactory frame,
                       ViewFactory view);
    ~CSingleDocTemplate();

    // The document strings of the resource id: "\nname\nname\nfilter name\nextension\n...".
    std::string DocString(int index) const;
    // Creates document, frame and view on the first call; later calls reuse them. Null path: a new document.
    CDocument *OpenDocumentFile(const char *path);
    CFrameWnd *GetFrame() const { return m_frame.get(); }
    CDocument *GetDocument() const { return m_document.get(); }
    // The frame's window is gone: frame, view and document end with it, as a closed SDI window's do,
    // so none outlives the application's exit.
    void FrameDestroyed(CFrameWnd *frame);

private:
    bool CreateFrame();

    UINT m_resourceId;
    std::string m_windowClass;
    DocumentFactory m_makeDocument;
    FrameFactory m_makeFrame;
    ViewFactory m_makeView;
    std::unique_ptr<CDocument> m_document;
    std::unique_ptr<CFrameWnd> m_frame;
};
