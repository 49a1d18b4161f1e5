#include "dlibmgt.h"

#include "driver.h"
#include "files.h"
#include "log.h"
#include "morvash.h"
#include "subconfig.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

BoardLibraries g_boardLibs;

namespace {
template <typename T>
bool bind(void *library, const char *symbol, T *target)
{
    dlerror();
    void *address = dlsym(library, symbol);
    if (!address) {
        morvVlog("dlibmgtSinit - %s: %s\n", symbol, dlerror());
        return false;
    }
    *target = reinterpret_cast<T>(address);
    return true;
}

void *openLibrary(const char *name)
{
    void *library = dlopen(name, RTLD_NOW | RTLD_GLOBAL);
    if (!library) morvVlog("dlibmgtSinit - %s\n", dlerror());
    return library;
}
}  // namespace

int dlibmgtSbindLibraries()
{
    BoardLibraries &l = g_boardLibs;
    const bool config = (l.config = openLibrary(CONFIG_LIBRARY)) != nullptr &&
                        bind(l.config, "confSparse_config", &l.confSparse_config) &&
                        bind(l.config, "confSshort_basename", &l.confSshort_basename) &&
                        bind(l.config, "confSfind_item", &l.confSfind_item) &&
                        bind(l.config, "conf_error", &l.conf_error) &&
                        bind(l.config, "confSconfig_file", &l.confSconfig_file);
    const bool sckapi = config && (l.sckapi = openLibrary(SCKAPI_LIBRARY)) != nullptr &&
                        bind(l.sckapi, "sckClientSendMessage", &l.sckClientSendMessage) &&
                        bind(l.sckapi, "sckServerInit", &l.sckServerInit) &&
                        bind(l.sckapi, "sckServerDoJob", &l.sckServerDoJob) &&
                        bind(l.sckapi, "sckMessageMakeReply", &l.sckMessageMakeReply) &&
                        bind(l.sckapi, "sckServerSendReply", &l.sckServerSendReply);
    return sckapi ? 0 : -1;
}

void dlibmgtVunloadAll()
{
    BoardLibraries &l = g_boardLibs;
    if (l.sckClientSendMessage || l.sckServerInit || l.sckServerDoJob || l.sckMessageMakeReply ||
        l.sckServerSendReply) {
        if (dlclose(l.sckapi) != 0) printf("dlibmgtVunloadAll libsckapi - %s\n", dlerror());
    }
    if (l.confSshort_basename || l.confSparse_config || l.confSconfig_file) {
        if (dlclose(l.config) != 0) printf("dlibmgtVunloadAll libconfig - %s\n", dlerror());
    }
    l = BoardLibraries{};
}

namespace {
constexpr const char *LIBRARY_ROOT = "/mnt/soft/";
constexpr size_t LIBRARY_SUFFIX_LENGTH = 2;     // "_a": dropped for the package's link
constexpr const char *DOWNLOAD_SUFFIX = "_a";
constexpr const char *TFTP_CLIENT = "tftp";
constexpr int LIST_LINE_SIZE = 150;             // 149 characters and the terminator
constexpr int SHELL_NOT_FOUND = 127;
constexpr mode_t DOWNLOAD_DIR_MODE = 0755;
constexpr mode_t APPLI_BOOT_LIST_MODE = 0777;
constexpr int KERNEL_LOAD_ADDRESS = 1046016;
constexpr int RAMDISK_LOAD_ADDRESS = 5242880;

bool isNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '+' || c == '-';
}

// A name from the boot server goes into shell commands and paths: only plain relative names pass, each
// component of letters, digits, '.', '_', '+' and '-', none of them "." or "..". SLASHES allows several
// components.
bool isPlainName(const std::string &name, bool slashes)
{
    if (name.empty()) return false;
    size_t start = 0;
    for (;;) {
        const size_t end = slashes ? name.find('/', start) : std::string::npos;
        const std::string component = name.substr(start, end - start);
        if (component.empty() || component == "." || component == "..") return false;
        for (char c : component) {
            if (!isNameCharacter(c)) return false;
        }
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

// One line of the library list without its line end; false at the end of the file or for a line longer
// than the buffer.
bool readListLine(FILE *f, std::string *line, bool *tooLong)
{
    char buffer[LIST_LINE_SIZE];
    *tooLong = false;
    if (!fgets(buffer, sizeof buffer, f)) return false;
    const size_t length = strlen(buffer);
    if (length == sizeof buffer - 1 && buffer[length - 1] != '\n' && !feof(f)) {
        *tooLong = true;
        return false;
    }
    buffer[strcspn(buffer, "\r\n")] = '\0';
    *line = buffer;
    return true;
}

// Fetches FILE from the boot server into the current directory; false when the shell or the client
// could not run.
bool tftpGet(const char *file, const char *server)
{
    char command[2 * LIST_LINE_SIZE];
    snprintf(command, sizeof command, "echo -e 'binary\\nget %s' | %s %s", file, TFTP_CLIENT, server);
    const int status = filesIrunShell(command);
    if (status == -1 || status == SHELL_NOT_FOUND) {
        morvVlog("dlibmgtSdownload - system(%s): error\n", command);
        return false;
    }
    return true;
}

// The package's files named by the list after its first line, every one a plain relative path.
bool readPackageList(FILE *f, std::vector<std::string> *files)
{
    std::string line;
    bool tooLong;
    while (readListLine(f, &line, &tooLong)) {
        if (line.empty()) continue;
        if (!isPlainName(line, true)) {
            morvVlog("dlibmgtSdownload - refused file name in %s: \"%s\"\n", LIBRARY_LIST, line.c_str());
            return false;
        }
        files->push_back(line);
    }
    if (tooLong) {
        morvVlog("dlibmgtSdownload - line longer than %d characters in %s\n", LIST_LINE_SIZE - 1, LIBRARY_LIST);
        return false;
    }
    return true;
}

int replaceAndLog(const char *name, const std::string &target, const std::string &link)
{
    if (filesSreplaceLink(target.c_str(), link.c_str()) == 0) return 0;
    morvVlog("%s: link creation of %s to %s failed with error: %s\n", name, link.c_str(), target.c_str(), strerror(errno));
    return -1;
}
}  // namespace

int dlibmgtSdownload(char *name, size_t size)
{
    NetConfig net;
    if (pmrSgetNetConfig(&net) != 0) {
        morvVlog("dlibmgtSdownload - ioctl: Error %d: %s\n", errno, strerror(errno));
        return -1;
    }
    char server[INET_ADDRSTRLEN];
    struct in_addr address;
    address.s_addr = net.serverAddress;
    inet_ntop(AF_INET, &address, server, sizeof server);
    if (!tftpGet(LIBRARY_LIST, server)) return -1;

    FILE *f = fopen(LIBRARY_LIST, "r");
    if (!f) {
        morvVlog("dlibmgtSdownload - fopen: %s\n", strerror(errno));
        return -1;
    }
    std::string package;
    bool tooLong;
    if (!readListLine(f, &package, &tooLong)) {
        morvVlog("dlibmgtSdownload - first fgets error\n");
        fclose(f);
        return -1;
    }
    // The whole list is checked before anything is emptied or fetched.
    std::vector<std::string> files;
    const std::string directoryName = package + DOWNLOAD_SUFFIX;
    const bool plain = isPlainName(package, false) && directoryName.size() < size;
    if (!plain) morvVlog("dlibmgtSdownload - refused package name in %s: \"%s\"\n", LIBRARY_LIST, package.c_str());
    const bool listed = plain && readPackageList(f, &files);
    fclose(f);
    if (!listed) return -1;

    const std::string directory = LIBRARY_ROOT + directoryName;
    if (filesBdirExists(directory.c_str())) {
        const std::string empty = "rm -rf " + directory + "/*";
        const int status = filesIrunShell(empty.c_str());
        if (status == -1 || status == SHELL_NOT_FOUND) morvVlog("dlibmgtSdownload - system(%s): error\n", empty.c_str());
    } else if (mkdir(directory.c_str(), DOWNLOAD_DIR_MODE) != 0) {
        morvVlog("dlibmgtSdownload - create directory %s failed: %s\n", directory.c_str(), strerror(errno));
        return -1;
    }
    char previous[PATH_MAX];
    if (!getcwd(previous, sizeof previous) || chdir(directory.c_str()) != 0) {
        morvVlog("dlibmgtSdownload - chdir(%s): %s\n", directory.c_str(), strerror(errno));
        return -1;
    }
    bool fetched = true;
    for (size_t i = 0; i < files.size() && fetched; ++i) fetched = tftpGet(files[i].c_str(), server);
    if (chdir(previous) != 0) morvVlog("dlibmgtSdownload - chdir(%s): %s\n", previous, strerror(errno));
    if (!fetched) return -1;
    snprintf(name, size, "%s", directoryName.c_str());
    return 0;
}

void dlibmgtVcreateTftpFiles(const char *name)
{
    const std::string list = std::string(TFTPBOOT_DIR) + LIBRARY_LIST;
    FILE *f = fopen(list.c_str(), "w");
    if (!f) {
        morvVlog("dlibmgtVcreateTftpFiles - fopen: %s\n", strerror(errno));
        return;
    }
    const std::string package = std::string(CURRENT_DIR) + name;
    if (replaceAndLog("dlibmgtVcreateTftpFiles", package, TFTPBOOT_DIR + std::string(name)) != 0) {
        fclose(f);
        return;
    }
    DIR *directory = opendir(package.c_str());
    if (!directory) {
        morvVlog("dlibmgtVcreateTftpFiles - opendir(%s): %s\n", package.c_str(), strerror(errno));
        fclose(f);
        return;
    }
    fprintf(f, "%s\n", name);
    while (const struct dirent *entry = readdir(directory)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        fprintf(f, "%s/%s\n", name, entry->d_name);
    }
    closedir(directory);
    if (fclose(f) != 0) morvVlog("dlibmgtVcreateTftpFiles - fclose: %s\n", strerror(errno));
}

int dlibmgtSinit(bool networkBoot)
{
    if (!g_noLibraries) {
        char name[PMR_LIBNAME_SIZE];
        if (networkBoot) {
            if (dlibmgtSdownload(name, sizeof name) != 0) {
                morvVlog("dlibmgtSinit - dlibmgtSdownload: error\n");
                return -1;
            }
        } else if (pmrSgetLibraryName(name, sizeof name) != 0) {
            morvVlog("dlibmgtSinit - ioctl: %s\n", strerror(errno));
            return -1;
        }
        if (strlen(name) <= LIBRARY_SUFFIX_LENGTH) {
            morvVlog("dlibmgtSinit : No valid library-path found (Did you boot on flash ?? (Boot on ethernet no more allowed with this version of Morvash)\n");
            return -1;
        }
        const std::string target = LIBRARY_ROOT + std::string(name);
        if (!filesBdirExists(target.c_str())) {
            morvVlog("dlibmgtSinit: target directory %s does not exists !\n", target.c_str());
            return -1;
        }
        const std::string package(name, strlen(name) - LIBRARY_SUFFIX_LENGTH);
        const std::string link = CURRENT_DIR + package;
        if (replaceAndLog("dlibmgtSinit", target, link) != 0) return -1;
        if (!networkBoot) dlibmgtVcreateTftpFiles(package.c_str());
        const int parsed = morvIparseSubconfig((link + "/" + SUBCONFIG_NAME).c_str());
        unlink(link.c_str());
        if (parsed != 0) return -1;
    }
    return dlibmgtSbindLibraries();
}

int morvISetupAppliBoot(const char *list, const char *kernelLink, const char *ramdiskLink)
{
    const char *targets[] = {CURRENT_KERNEL, CURRENT_RAMDISK};
    const char *links[] = {kernelLink, ramdiskLink};
    long sizes[2];
    for (int i = 0; i < 2; ++i) {
        if (filesSreplaceLink(targets[i], links[i]) != 0) {
            morvVlog("morvISetupAppliBoot - symlink(%s, %s): %s", targets[i], links[i], strerror(errno));
            return APPLI_BOOT_FAILED;
        }
    }
    for (int i = 0; i < 2; ++i) {
        struct stat st;
        if (stat(links[i], &st) != 0) {
            morvVlog("morvISetupAppliBoot - stat(%s) error: %s\n", links[i], strerror(errno));
            return APPLI_BOOT_FAILED;
        }
        sizes[i] = st.st_size;
    }
    FILE *f = fopen(list, "w");
    if (!f) {
        morvVlog("morvISetupAppliBoot - fopen(%s) error: %s\n", list, strerror(errno));
        return APPLI_BOOT_FAILED;
    }
    fprintf(f, "%s;%d;BIN;%d;%d\n", kernelLink, static_cast<int>(sizes[0]), KERNEL_LOAD_ADDRESS, KERNEL_LOAD_ADDRESS);
    fprintf(f, "%s;%d;RAMDISK;%d;0;boot;0;BOOT;0;%d\n", ramdiskLink, static_cast<int>(sizes[1]), RAMDISK_LOAD_ADDRESS,
            KERNEL_LOAD_ADDRESS);
    if (fclose(f) != 0) return APPLI_BOOT_FAILED;
    chmod(list, APPLI_BOOT_LIST_MODE);
    return 0;
}
