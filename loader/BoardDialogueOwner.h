// What the board dialogue tells its owner, the view: log lines, system errors, the board's events and
// errors, progress, the status line. The view hands events on to the active wizard page.
#pragma once

#include <cstdint>
#include <string>

class CBoardDialogueOwner {
public:
    // A log line: prefix, text resource textId (0: none), suffix; popup also shows it in a message box.
    virtual void LogText(const std::string &prefix, unsigned textId, const std::string &suffix, bool popup) = 0;
    virtual void FormatSystemError(int error, const std::string &context, bool popup) = 0;
    // A message the board caused for the technician: logged, and shown in a box unless one is pending.
    virtual void ShowBoardMessage(const std::string &text) = 0;

    virtual void OnBoardEvent(int id, std::uint32_t status, const std::string &text) = 0;
    virtual void OnBoardError(int id, std::uint32_t status, const std::string &text) = 0;
    virtual void OnSaveProgress(int id, std::uint32_t status, const std::string &text) = 0;
    virtual void OnRestoreProgress(int id, std::uint32_t status, const std::string &text) = 0;
    virtual void OnCopyProgress(int id, std::uint32_t status, const std::string &text) = 0;

    virtual void OnConversationAdded() = 0;
    virtual void OnConversationRemoved() = 0;

    virtual std::string LoadText(unsigned textId) = 0;
    virtual void SetStatusText(unsigned textId) = 0;
    virtual void SetStatusText(const std::string &text) = 0;

    // The installation type chosen on the installation-type page (0: plain installation).
    virtual int InstallationType() = 0;
    // Serves the storage folder chosen for a migration or a restore over NFS.
    virtual void StartStorageNfsServer() = 0;

protected:
    ~CBoardDialogueOwner() = default;
};
