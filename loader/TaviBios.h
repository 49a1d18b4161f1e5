// The BIOS update: unpacks the board's BIOS image for the chosen CPU type into the boot folder, writes the
// boot list that loads it, and serves both through the outside TFTP and BOOTP servers.
#pragma once

#include "framework/Dialog.h"

#include <windows.h>

#include <string>

class CDelivery;

// Rounds of 500 ms after which RunAndWait gives up (about 15 minutes).
constexpr DWORD kRunAndWaitRounds = 1801;

// Runs a command line with a hidden window and waits for it: 0 when it ended (its exit code in exitCode),
// the system error when it could not start, ERROR_CANCELLED when a quit message ended the wait (only when
// pumping; the quit is posted again), or ERROR_TIMEOUT after `rounds` waits of 500 ms.
DWORD RunAndWait(const std::string &commandLine, bool pumpMessages, DWORD &exitCode, DWORD rounds = kRunAndWaitRounds);

class CTaviBios : public CDialog {
public:
    // The delivery is read anew at every Start.
    explicit CTaviBios(const CDelivery &delivery);

    // Start: stops the servers, unpacks the image for the chosen CPU type, writes the boot list and starts
    // the TFTP server and then the BOOTP server. Any failure is shown and leaves no image or list behind.
    // OK or Cancel pressed meanwhile ends the update once Start has given up: nothing runs, nothing is left
    // to serve.
    void UnpackBios();

protected:
    bool OnCommand(UINT id, UINT code) override;

private:
    void StartUpdate();
    void StopServers() const;
    void ShowError(DWORD error, const std::string &context) const;

    const CDelivery &m_delivery;
    bool m_starting = false;
    // OK or Cancel asked for while Start runs.
    UINT m_endAsked = 0;
};
