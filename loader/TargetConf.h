// The target configuration file: the shell "export" lines that tell the board's installer what to install,
// save or restore, which country to configure and where to mount the delivery and the PC's storage.
#pragma once

#include <cstdint>
#include <string>

// A "Config" key that every target configuration seeds, with the default it writes when the key is missing.
struct ConfigDefault {
    const char *key;
    int value;
};
constexpr int kConfigDefaultCount = 4;
extern const ConfigDefault ConfigDefaults[kConfigDefaultCount];

// What the file takes from outside the target configuration: settings, the delivery, the PC and the board
// account. WriteTargetConf gathers it; tests give it directly.
struct TargetContext {
    bool trace = false;              // the application's debug switch
    bool noSecure = false;           // "Config" "NOCQR"
    bool hd20Gig = false;            // "Config" "20G"
    bool checkHardwareLevel = true;  // "Config" "CHECK_HARDWARE_LEVEL"
    bool noBooster = false;          // "Config" "NOBOOSTER"
    std::string coCpuAddress;        // "Config" "COCPU_IP"
    int version = 0;
    int subVersion = 0;
    std::string boardType;
    bool migrationTarget = false;
    std::string address;             // the PC's IPv4 address
    std::string hostName;            // the PC's host name
    std::string user;                // the board account
    std::string password;
};

class CTargetConf {
public:
    // Every flag clear, country "fr", no free size; seeds the "Config" defaults in the profile.
    CTargetConf();
    virtual ~CTargetConf() = default;

    // Writes the whole file at path, or nothing: on failure no file is left there, and LastError with
    // ErrorContext tell why.
    bool WriteTargetConf(const std::string &path);

    // The file's text (lines ended by CR LF) for a context; false with the reason in refusal when a text
    // would break the board's shell line.
    bool BuildText(const TargetContext &context, std::string &text, std::string &refusal) const;

    // The last failure: a system or socket error code (ERROR_INVALID_DATA for a refused text) and what
    // failed (the path, the call, or the refused value).
    unsigned long LastError() const { return m_lastError; }
    const std::string &ErrorContext() const { return m_errorContext; }

    // Any non-zero value counts as set; the caller sets the fields directly.
    int IA = 0;
    int VOIP = 0;
    int RAS = 0;
    int ACD = 0;
    int IA_MULTI = 0;
    int SAVE_IA = 0;
    int SAVE_TELE = 0;
    int SAVE_IA_MULTI = 0;
    int RESTORE_IA = 0;
    int RESTORE_TELE = 0;
    int INSTALL = 0;
    int REBOOT = 0;
    int LUMASET = 0;
    int CLR_NOR_FK = 0;
    std::string Country = "fr";
    // Bytes free on the PC's storage volume; 0 writes no free-size line.
    std::uint64_t FreeSize = 0;

private:
    bool GatherContext(TargetContext &context);
    bool Fail(unsigned long error, const std::string &context);

    unsigned long m_lastError = 0;
    std::string m_errorContext;
};
