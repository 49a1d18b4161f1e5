#include "TargetConf.h"

#include "AccountManage.h"
#include "BoardMessage.h"
#include "BootFolder.h"
#include "Delivery.h"
#include "LocalIpAddress.h"
#include "TaviApp.h"
#include "framework/Profile.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

const ConfigDefault ConfigDefaults[kConfigDefaultCount] = {
    {"20G", 0},
    {"NOBOOSTER", 0},
    {"UseTimeouts", 1},
    {"Ip_BootpTab", 1},
};

namespace {

const char kConfig[] = "Config";
const char kDefaultCoCpuAddress[] = "192.168.0.1";
const char kVuskoBoard[] = "VUSKO";
const char kLineEnd[] = "\r\n";
constexpr int kHostNameSize = 51;
constexpr int kNfsFromVersion = 800;
constexpr int kTaviAlwaysFromVersion = 300;
constexpr std::uint64_t kMaxFreeKib = INT_MAX;

// Inside the double quotes of a mount line the shell still interprets these; a blank would split the
// mount command's arguments.
const char kQuotedBreakers[] = "\"$`\\ ";

bool IsQuotedArgument(const std::string &text)
{
    for (unsigned char c : text)
        if (c < 0x21 || c > 0x7E || std::strchr(kQuotedBreakers, c)) return false;
    return true;
}

// "export NAME=value" and the line end.
std::string Export(const std::string &name, const std::string &value)
{
    return "export " + name + "=" + value + kLineEnd;
}

std::string YesNo(const char *name, int flag) { return Export(name, flag ? "yes" : "no"); }

std::string YesIfSet(const char *name, int flag) { return flag ? Export(name, "yes") : std::string(); }

// The share mount of one of the PC's shares, as the board's mount command takes it.
std::string ShareMount(const TargetContext &context, const std::string &user, const char *share,
                       const char *mountPoint)
{
    return "\"//" + context.hostName + "/" + share + " " + mountPoint + " -N -U " + user + " -W " +
           context.hostName + " -I " + context.address + "\"";
}

bool TaviLineWanted(int version, int subVersion)
{
    return (version < 200 && subVersion > 67) || (version >= 200 && version < 300 && subVersion > 54) ||
           version >= kTaviAlwaysFromVersion;
}

}  // namespace

CTargetConf::CTargetConf()
{
    for (const ConfigDefault &row : ConfigDefaults) profile::GetSeededInt(kConfig, row.key, row.value);
}

bool CTargetConf::BuildText(const TargetContext &context, std::string &text, std::string &refusal) const
{
    const bool nfs = context.version >= kNfsFromVersion && !context.migrationTarget;
    const bool storage = SAVE_IA || SAVE_TELE || RESTORE_IA || RESTORE_TELE;
    const std::string coCpu = context.coCpuAddress.empty() ? kDefaultCoCpuAddress : context.coCpuAddress;
    std::string user = context.user;
    if (!context.password.empty()) user += "%" + context.password;

    refusal.clear();
    if (!Country.empty() && !IsPlainShellWord(Country)) refusal = "COUNTRY=" + Country;
    else if (SAVE_IA_MULTI && !IsPlainShellWord(coCpu)) refusal = "COCPU_IP=" + coCpu;
    else if (!IsPlainShellWord(context.address)) refusal = "TAVI=" + context.address;
    else if (!nfs && !IsPlainShellWord(context.hostName))
        refusal = "host name " + context.hostName;
    else if (!nfs && (context.user.empty() || context.user.find('%') != std::string::npos || !IsQuotedArgument(user)))
        refusal = "board account " + context.user;
    if (!refusal.empty()) return false;

    text.clear();
    if (context.noSecure) text += Export("NOSECURE", "yes");
    if (context.trace) text += Export("TRACE", "1");
    text += YesIfSet("IA", IA);
    text += YesIfSet("LUMASET", LUMASET);
    text += YesIfSet("VOIP", VOIP);
    text += YesIfSet("RAS", RAS);
    text += YesIfSet("ACD", ACD);
    text += YesIfSet("IA_MULTI", IA_MULTI);
    text += YesIfSet("SAVE_IA", SAVE_IA);
    text += YesIfSet("SAVE_TELE", SAVE_TELE);
    text += YesNo("SAVE_IA_MULTI", SAVE_IA_MULTI);
    if (SAVE_IA_MULTI) text += Export("COCPU_IP", coCpu);
    text += YesIfSet("RESTORE_IA", RESTORE_IA);
    text += YesIfSet("RESTORE_TELE", RESTORE_TELE);
    text += YesNo("INSTALL", INSTALL);
    text += YesNo("CLR_NOR_FK", CLR_NOR_FK);
    if (context.hd20Gig) text += Export("HD20GIG", "yes");
    if (!context.checkHardwareLevel) text += Export("CHECK_HARDWARE_LEVEL", "no");
    text += Export("COUNTRY", Country);
    text += Export("CALLHANDLING", "yes");
    if (context.noBooster) text += Export("NOBOOSTER", "yes");
    text += YesNo("REBOOT", REBOOT);
    text += Export("DOWNLOAD_BASE", "/delivery");

    if (TaviLineWanted(context.version, context.subVersion)) text += Export("TAVI", context.address);
    if (nfs) text += Export("MP1", "\"" + context.address + ":/ /delivery\"");
    else text += Export("MP1", ShareMount(context, user, "CurDeliv", "/delivery"));
    if (storage && nfs) {
        text += Export("MP2", "\"" + context.address + ":/ /mnt/save\"");
        text += Export("BACKUP_TAVI", "backup_tavi.xml");
    } else if (storage) {
        text += Export("MP2", ShareMount(context, user, "Save", "/mnt/save"));
        text += Export("MP3", ShareMount(context, user, "tftpboot", "/mnt/tftpboot"));
    }
    if (context.boardType == kVuskoBoard) text += Export("DIAG", "yes");
    // Above the signed 32-bit range the installer's reader would see a negative or wrapped size.
    if (FreeSize != 0) text += Export("PC_FREE_SIZE", std::to_string(std::min(FreeSize / 1024, kMaxFreeKib)));
    return true;
}

bool CTargetConf::Fail(unsigned long error, const std::string &context)
{
    m_lastError = error;
    m_errorContext = context;
    return false;
}

bool CTargetConf::GatherContext(TargetContext &context)
{
    context.trace = TaviApp() && TaviApp()->DebugFlag();
    context.noSecure = profile::GetInt(kConfig, "NOCQR", 0) != 0;
    context.hd20Gig = profile::GetInt(kConfig, "20G", 0) != 0;
    context.checkHardwareLevel = profile::GetInt(kConfig, "CHECK_HARDWARE_LEVEL", 1) != 0;
    context.noBooster = profile::GetInt(kConfig, "NOBOOSTER", 0) != 0;
    context.coCpuAddress = profile::GetString(kConfig, "COCPU_IP", "");
    context.version = g_deliveryVersion;
    context.subVersion = g_deliverySubVersion;
    context.boardType = g_boardType;
    context.migrationTarget = g_bMigrationTarget;

    if (const int error = GetLocalIpAddress(context.address)) return Fail(error, "GetLocalIpAddress");
    char host[kHostNameSize] = {};
    if (gethostname(host, sizeof host - 1) == SOCKET_ERROR) return Fail(WSAGetLastError(), "gethostname");
    context.hostName = host;

    const CAccountManage account;
    context.user = account.UserName();
    context.password = account.Password();
    return true;
}

bool CTargetConf::WriteTargetConf(const std::string &path)
{
    m_lastError = 0;
    m_errorContext.clear();
    // Everything the file needs is had before it is touched, so no half-written file reaches the board.
    TargetContext context;
    std::string text, refusal;
    bool ok = GatherContext(context);
    if (ok && !BuildText(context, text, refusal)) ok = Fail(ERROR_INVALID_DATA, refusal);

    DWORD error = 0;
    if (ok && (error = WriteBootFile(path, text)) != 0) ok = Fail(error, path);
    // A stale file from an earlier step must not be served in place of the one that failed.
    if (!ok) RemoveBootFile(path);
    return ok;
}
