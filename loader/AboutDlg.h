// The About box (dialog 100) and the program's version strings.
#pragma once

#include "framework/Dialog.h"

#include <array>
#include <string>

// Indices of the version strings, in the order the About box keeps them.
enum VersionString {
    kComments,
    kCompanyName,
    kFileDescription,
    kFileVersion,
    kInternalName,
    kLegalCopyright,
    kLegalTrademarks,
    kOriginalFilename,
    kPrivateBuild,
    kProductName,
    kProductVersion,
    kSpecialBuild,
    kVersionStringCount
};

class CAboutDlg : public CDialog {
public:
    // Reads the version strings of the program file.
    CAboutDlg();
    const std::string &Version(VersionString index) const { return m_version[index]; }

protected:
    BOOL OnInitDialog() override;

private:
    std::array<std::string, kVersionStringCount> m_version;
};
