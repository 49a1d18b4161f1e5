// The loader's document: the technician's choices (held in the first two wizard pages), the delivery, and
// the installation steps the pages start: the target file with the boot folder, the board's services, and
// the clean-up after a board. Saved as a ".tav" file.
#pragma once

#include "Delivery.h"
#include "TaviWizMain.h"
#include "TaviWizSecond.h"
#include "framework/DocView.h"

#include <string>

class CTargetConf;

// The step flags of CTaviDoc::WriteTargetFile.
enum TargetStep { kStepSaveIa = 1, kStepSaveTele = 2, kStepRestore = 4, kStepInstall = 8 };

// Results of CTaviDoc::StartServices.
enum ServicesResult { kServicesStarted = 0, kServicesFailed = 1, kServicesNoDelivery = 2, kServicesStopped = 3 };

// The delivery versions at which the loader's rules change.
constexpr int kVersionRemoteAccess = 200;
constexpr int kVersionNewBoards = 800;

// The installation types of the installation-type page.
enum InstallationType { kTypeInstallation, kTypeMonoMigration, kTypeMultiMigration, kTypeInstallRestore };

// The target file's fields that the wizard's choices and the step flags decide (not the free size).
void ApplyTargetChoices(CTargetConf &target, const MainPageRecord &main, int flags, int installationType,
                        int version);

class CTaviDoc : public CDocument {
public:
    CTaviDoc();
    ~CTaviDoc() override;

    bool OnNewDocument() override;
    // Reads the whole file first: a truncated or foreign file is reported and changes nothing.
    bool OnOpenDocument(const std::string &path) override;
    bool OnSaveDocument(const std::string &path) override;

    // Fills the boot folder and writes one target file. False when either fails; the delivery then holds
    // the error text and its context.
    bool WriteTargetFile(const std::string &path, int flags);
    // Waits for the service-start timer, writes the board's BOOTP entry, starts the TFTP and BOOTP servers.
    int StartServices(CDelivery *delivery);
    // The technician's cancel: ends a running wait and stops every server (or leaves the servers to the
    // caller when stopServers is false).
    void StopServices(bool stopServers = true);
    // After a board: stops the NFS server, and the TFTP and BOOTP servers, and empties the storage folder
    // as asked. Always 0.
    int CleanUp(bool stopServers, bool emptyStorage);
    // What a board's clean-up and errors leave to the view's next turn (see CTaviNewView::StopServersLater):
    // stops the NFS, TFTP and BOOTP servers, unless no server was started since the last stop.
    void StopServersOnce();

    CDelivery &Delivery() { return m_delivery; }
    CTaviWizMain &MainPage() { return m_mainPage; }
    CTaviWizSecond &SecondPage() { return m_secondPage; }
    const std::string &CountryText() const { return m_countryText; }
    int LastTargetFlags() const { return m_lastTargetFlags; }

    // How long the TFTP server gets to end before the BOOTP server is stopped, and the pause that gives it
    // that time; tests shorten the one and watch the other.
    static DWORD s_stopGapMillis;
    static void(WINAPI *s_stopGap)(DWORD millis);

private:
    void WriteBootpEntries(const CDelivery &delivery);
    void StopTftpThenBootp();

    CDelivery m_delivery;
    CTaviWizSecond m_secondPage;
    CTaviWizMain m_mainPage;
    std::string m_countryText;
    int m_lastTargetFlags = 0;
    // The start count at the last stop of every server; none yet.
    unsigned m_startsAtStop = ~0u;
};
