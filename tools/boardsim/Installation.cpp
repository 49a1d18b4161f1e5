#include "Installation.h"

#include "BoardSim.h"

#include <nfsc/libnfs.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

namespace boardsim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kTransfer = 256 * 1024;
// Progress reports of the copy: about this many, whatever the delivery's size.
constexpr std::uint64_t kCopyReports = 20;

// Milliseconds since the run's common start (DEMO_T0, ms since the epoch), so that the lines of the
// board and of the technician read on one clock.
double Elapsed()
{
    static const long long t0 = [] {
        const char *text = std::getenv("DEMO_T0");
        if (text && *text) return std::atoll(text);
        return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
    }();
    const long long now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    return (now - t0) / 1000.0;
}

void Say(const std::string &line)
{
    std::printf("[%6.1fs] board      %s\n", Elapsed(), line.c_str());
    std::fflush(stdout);
}

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool ReadFile(const std::string &path, std::string &content)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    content = all.str();
    return true;
}

std::string Trim(const std::string &text)
{
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool ParseNumber(const std::string &text, std::uint64_t limit, std::uint64_t &value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 20) return false;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed > limit) return false;
    value = parsed;
    return true;
}

std::string Size(std::uint64_t bytes)
{
    char text[32];
    if (bytes >= 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / 1048576.0);
    else
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    return text;
}

// The board's side of the UDP dialogue: one message, one acknowledgement.
class Dialogue {
public:
    Dialogue(Board &board, const InstallOptions &options) : board_(board), options_(options) {}

    // CONNECT, repeated until the loader answers (it may still be starting); the answer's exports.
    bool Connect(std::map<std::string, std::string> &exports, std::string &why)
    {
        Message connect = Next("CONNECT", 1, options_.release);
        const auto deadline = Clock::now() + options_.bootWait;
        while (Clock::now() < deadline) {
            board_.Send(connect);
            std::optional<Answer> answer = board_.Receive(std::chrono::seconds(1));
            if (!answer) continue;
            if (answer->message.name != "CONNECT" || answer->message.stat != 1) {
                why = "the loader refused the connection: " + Describe(*answer);
                return false;
            }
            exports = ParseExports(answer->message.text);
            // A CONNECT repeated while the loader was starting may be answered twice.
            board_.ReceiveUntilQuiet(std::chrono::milliseconds(300));
            Say("-> CONNECT \"" + options_.release + "\": accepted, session " +
                exports["CPFLASH_CLIENT_SESSION"] + ", server " + exports["CPFLASH_SERVER_IP"] + ", script " +
                exports["CPFLASH_CLIENT_SCRIPT"]);
            return true;
        }
        why = "no answer to CONNECT on port 6010";
        return false;
    }

    // One step and its acknowledgement: the loader answers with the step's own name and status 1.
    bool Report(const char *name, std::uint32_t stat, const std::string &text, std::string &why, bool quiet = false)
    {
        if (options_.stepPause.count() > 0) std::this_thread::sleep_for(options_.stepPause);
        const Message message = Next(name, stat, text);
        if (!board_.Send(message)) {
            why = std::string("could not send ") + name;
            return false;
        }
        std::optional<Answer> answer = board_.Receive(options_.answerWait);
        if (!answer) {
            why = std::string("no answer to ") + name;
            return false;
        }
        const Message &got = answer->message;
        if (got.name != name || got.stat != 1 || got.ta != message.ta || got.sess != message.sess) {
            why = std::string("unexpected answer to ") + name + ": " + Describe(*answer);
            return false;
        }
        if (!quiet) Say("-> " + std::string(name) + (text.empty() ? "" : " \"" + text + "\"") + ": acknowledged");
        return true;
    }

private:
    Message Next(const char *name, std::uint32_t stat, const std::string &text)
    {
        Message m;
        m.name = name;
        m.ta = ++ta_;
        m.sess = options_.session;
        m.stat = stat;
        m.text = text;
        return m;
    }

    Board &board_;
    const InstallOptions &options_;
    std::uint32_t ta_ = 0;
};

// The delivery as the board's installer sees it over NFS: every file below the mount, read whole.
class NfsDelivery {
public:
    ~NfsDelivery()
    {
        if (url_) nfs_destroy_url(url_);
        if (nfs_) nfs_destroy_context(nfs_);
    }

    bool Mount(const std::string &server, const std::string &path, std::string &why)
    {
        nfs_ = nfs_init_context();
        if (!nfs_) {
            why = "no NFS context";
            return false;
        }
        nfs_set_timeout(nfs_, 20000);
        const std::string url = "nfs://" + server + path + "?auto-traverse-mounts=0";
        url_ = nfs_parse_url_dir(nfs_, url.c_str());
        if (!url_ || nfs_mount(nfs_, url_->server, url_->path) != 0) {
            why = "mount " + server + ":" + path + ": " + nfs_get_error(nfs_);
            return false;
        }
        return true;
    }

    // Every regular file below `dir`, with its size, depth first in name order.
    bool List(const std::string &dir, std::vector<std::pair<std::string, std::uint64_t>> &files, std::string &why)
    {
        nfsdir *listing = nullptr;
        if (nfs_opendir(nfs_, dir.empty() ? "/" : dir.c_str(), &listing) != 0) {
            why = "list " + (dir.empty() ? "/" : dir) + ": " + nfs_get_error(nfs_);
            return false;
        }
        std::vector<std::pair<std::string, bool>> entries;
        std::map<std::string, std::uint64_t> sizes;
        while (nfsdirent *entry = nfs_readdir(nfs_, listing)) {
            const std::string name = entry->name;
            if (name == "." || name == "..") continue;
            entries.emplace_back(name, S_ISDIR(entry->mode) || entry->type == 2 /* NF3DIR */);
            sizes[name] = entry->size;
        }
        nfs_closedir(nfs_, listing);
        std::sort(entries.begin(), entries.end());
        for (const auto &[name, isDir] : entries) {
            const std::string path = dir + "/" + name;
            if (isDir) {
                if (!List(path, files, why)) return false;
            } else {
                files.emplace_back(path, sizes[name]);
            }
        }
        return true;
    }

    bool Read(const std::string &path, std::string &content, std::string &why)
    {
        nfsfh *file = nullptr;
        if (nfs_open(nfs_, path.c_str(), O_RDONLY, &file) != 0) {
            why = "open " + path + ": " + nfs_get_error(nfs_);
            return false;
        }
        // The size first, as a kernel client knows it from the attributes: the server answers a READ at the
        // end of a file with an error rather than an empty end-of-file reply.
        struct nfs_stat_64 attributes = {};
        if (nfs_fstat64(nfs_, file, &attributes) != 0) {
            why = "attributes of " + path + ": " + nfs_get_error(nfs_);
            nfs_close(nfs_, file);
            return false;
        }
        content.clear();
        std::vector<char> buffer(kTransfer);
        int n = 1;
        while (content.size() < attributes.nfs_size &&
               (n = nfs_read(nfs_, file, std::min<std::uint64_t>(buffer.size(), attributes.nfs_size - content.size()),
                             buffer.data())) > 0)
            content.append(buffer.data(), static_cast<std::size_t>(n));
        if (n < 0) why = "read " + path + ": " + nfs_get_error(nfs_);
        if (n == 0) why = "read " + path + ": the file ended at " + std::to_string(content.size()) + " bytes";
        nfs_close(nfs_, file);
        return n > 0;
    }

    void Unmount()
    {
        if (nfs_) nfs_umount(nfs_);
    }

private:
    nfs_context *nfs_ = nullptr;
    nfs_url *url_ = nullptr;
};

InstallResult Fail(InstallResult result, const std::string &step, const std::string &why)
{
    result.ok = false;
    result.failedStep = step;
    result.why = why;
    Say("FAILED at \"" + step + "\": " + why);
    return result;
}

// Waits, with a bound, until the file holds the text.
// The path of `name` in `folder` when it stays there: a name that leads out by "..", as an absolute path
// or through a link is refused, as the PC's TFTP server and NFS export refuse it.
bool PathInside(const std::string &folder, const std::string &name, std::string &path)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path base = fs::weakly_canonical(fs::path(folder), error);
    if (error || name.empty()) return false;
    const fs::path full = fs::weakly_canonical(base / fs::path(name), error);
    if (error) return false;
    const auto [inBase, inFull] = std::mismatch(base.begin(), base.end(), full.begin(), full.end());
    if (inBase != base.end() || inFull == full.end()) return false;
    path = full.string();
    return true;
}

bool WaitForText(const std::string &path, const std::string &text, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    for (;;) {
        std::string content;
        if (ReadFile(path, content) && content.find(text) != std::string::npos) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace

bool MatchesDelivery(const std::string &folder, const std::string &nfsPath, const std::string &content,
                     std::string &why)
{
    std::string local, localPath, relative = nfsPath;
    relative.erase(0, relative.find_first_not_of('/'));
    if (!PathInside(folder, relative, localPath)) {
        why = nfsPath + " read over NFS lies outside the delivery " + folder;
        return false;
    }
    if (!ReadFile(localPath, local) || local != content) {
        why = nfsPath + " read over NFS differs from the delivery's file";
        return false;
    }
    return true;
}

bool ParseBootList(const std::string &text, std::vector<BootRecord> &records, std::string &why)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            why = "a boot list line ends in CR LF";
            return false;
        }
        if (line.empty()) continue;
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (std::size_t at; (at = line.find(';', start)) != std::string::npos; start = at + 1)
            fields.push_back(line.substr(start, at - start));
        fields.push_back(line.substr(start));
        if (fields.size() % 5 != 0) {
            why = "a boot list line of " + std::to_string(fields.size()) + " fields: " + line;
            return false;
        }
        for (std::size_t i = 0; i < fields.size(); i += 5) {
            BootRecord r;
            r.name = fields[i];
            r.kind = fields[i + 2];
            std::uint64_t first = 0, second = 0;
            if (!ParseNumber(fields[i + 1], UINT64_MAX, r.size) || !ParseNumber(fields[i + 3], UINT32_MAX, first) ||
                !ParseNumber(fields[i + 4], UINT32_MAX, second)) {
                why = "a boot list record with a bad number: " + line;
                return false;
            }
            r.first = static_cast<std::uint32_t>(first);
            r.second = static_cast<std::uint32_t>(second);
            records.push_back(r);
        }
    }
    if (records.empty()) why = "an empty boot list";
    return !records.empty();
}

std::map<std::string, std::string> ParseExports(const std::string &text)
{
    std::map<std::string, std::string> exports;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line = Trim(line);
        if (line.rfind("export ", 0) != 0) continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        exports[Trim(line.substr(7, equals - 7))] = value;
    }
    return exports;
}

std::string IniValue(const std::string &text, const std::string &section, const std::string &key)
{
    auto lower = [](std::string s) {
        for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    std::istringstream lines(text);
    std::string line;
    bool inside = false;
    while (std::getline(lines, line)) {
        line = Trim(line);
        if (!line.empty() && line.front() == '[') {
            inside = lower(line) == "[" + lower(section) + "]";
            continue;
        }
        const std::size_t equals = line.find('=');
        if (inside && equals != std::string::npos && lower(Trim(line.substr(0, equals))) == lower(key))
            return Trim(line.substr(equals + 1));
    }
    return "";
}

InstallResult Install(const InstallOptions &options)
{
    InstallResult result;

    // Power on in loader mode: the board asks BOOTP for its address until the PC's server answers.
    Say("powered on in loader mode, MAC " + options.macAddress + ": asking BOOTP for an address");
    if (!options.bootpReady.empty() && !WaitForText(options.bootpReady, "window BOOTP Desktop", options.bootWait))
        return Fail(result, "BOOTP", "the BOOTP server did not start");
    std::string database;
    if (!ReadFile(options.bootpDatabase, database))
        return Fail(result, "BOOTP", "no BOOTP database at " + options.bootpDatabase);
    const std::string address = IniValue(database, options.macAddress, "IP address");
    if (address.empty())
        return Fail(result, "BOOTP", "the BOOTP database has no address for " + options.macAddress);
    Say("BOOTP: address " + address + ", boot list " + options.bootList);

    // TFTP: the boot list, each file it names (of the size it names), then the target file.
    const auto bootStart = Clock::now();
    std::string listText;
    std::string bootPath;
    if (!PathInside(options.bootFolder, options.bootList, bootPath))
        return Fail(result, "TFTP boot list", options.bootList + " is outside the boot folder " + options.bootFolder);
    if (!ReadFile(bootPath, listText))
        return Fail(result, "TFTP boot list", "no " + options.bootList + " in " + options.bootFolder);
    std::vector<BootRecord> records;
    std::string why;
    if (!ParseBootList(listText, records, why)) return Fail(result, "TFTP boot list", why);
    std::string fetched;
    bool boots = false;
    for (const BootRecord &r : records) {
        if (r.kind == "BOOT") boots = true;
        if (r.name == "none" || r.name == "boot") continue;
        std::string content;
        if (!PathInside(options.bootFolder, r.name, bootPath))
            return Fail(result, "TFTP boot files", "the boot list names " + r.name + ", outside the boot folder");
        if (!ReadFile(bootPath, content))
            return Fail(result, "TFTP boot files", "the boot list names " + r.name + ", which is not served");
        if (content.size() != r.size)
            return Fail(result, "TFTP boot files",
                        r.name + " is " + std::to_string(content.size()) + " bytes, the list says " + std::to_string(r.size));
        fetched += (fetched.empty() ? "" : ", ") + r.name + " (" + r.kind + ", " + Size(r.size) + ")";
    }
    if (!boots) return Fail(result, "TFTP boot files", "the boot list has no BOOT record");
    Say("TFTP: " + options.bootList + " -> " + fetched + "; booting");
    std::string targetName = "target_dravenle.conf", targetText;
    if (!PathInside(options.bootFolder, targetName, bootPath) || !ReadFile(bootPath, targetText)) {
        targetName = "target.conf";
        if (!PathInside(options.bootFolder, targetName, bootPath) || !ReadFile(bootPath, targetText))
            return Fail(result, "TFTP target file", "no target file in " + options.bootFolder);
    }
    std::map<std::string, std::string> target = ParseExports(targetText);
    result.bootFilesSeconds = Since(bootStart);
    const std::string mount = target["MP1"];
    Say("TFTP: " + targetName + ": INSTALL=" + target["INSTALL"] + " COUNTRY=" + target["COUNTRY"] + " REBOOT=" +
        target["REBOOT"] + ", delivery " + mount);
    if (target["INSTALL"] != "yes") return Fail(result, "target file", targetName + " does not ask for an installation");
    const std::size_t colon = mount.find(':'), blank = mount.find(' ');
    if (colon == std::string::npos || blank == std::string::npos || blank < colon || mount.rfind("//", 0) == 0)
        return Fail(result, "target file", "the delivery is not mounted over NFS: MP1=" + mount);
    const std::string server = mount.substr(0, colon), exportPath = mount.substr(colon + 1, blank - colon - 1);

    // The installer starts and connects to the loader.
    const auto dialogueStart = Clock::now();
    std::unique_ptr<Board> board;
    try {
        board = std::make_unique<Board>(address, kBoardPort, target["TAVI"].empty() ? server : target["TAVI"]);
    } catch (const std::exception &e) {
        return Fail(result, "CONNECT", e.what());
    }
    Dialogue dialogue(*board, options);
    std::map<std::string, std::string> exports;
    if (!dialogue.Connect(exports, why)) return Fail(result, "CONNECT", why);
    if (exports["CPFLASH_SERVER_IP"] != server)
        return Fail(result, "CONNECT", "the loader names server " + exports["CPFLASH_SERVER_IP"] + ", the target file " + server);
    if (exports["CPFLASH_CLIENT_SESSION"] != std::to_string(options.session))
        return Fail(result, "CONNECT", "the loader gave back session " + exports["CPFLASH_CLIENT_SESSION"]);

    // The NFS phase counts the time spent mounting, listing and reading, not the dialogue's.
    auto nfsStart = Clock::now();
    NfsDelivery delivery;
    const bool mounted = delivery.Mount(server, exportPath, why);
    result.nfsSeconds += Since(nfsStart);
    if (!mounted) {
        std::string ignored;
        dialogue.Report("MOUNT_SERVER_ERR", 1, "1 " + why, ignored);
        return Fail(result, "MOUNT_SERVER", why);
    }
    if (!dialogue.Report("MOUNT_SERVER_OK", 1, server + ":" + exportPath, why)) return Fail(result, "MOUNT_SERVER_OK", why);
    for (const char *step : {"TIME_OK", "FLASH_DRV_OK", "FORMAT_OK", "EMOUNT_FLASH_OK", "MOUNT_FLASH_OK", "EXPORT_FLASH_OK"})
        if (!dialogue.Report(step, 1, "", why)) return Fail(result, step, why);

    // The copy: every file of the delivery, read whole over NFS, reported in KiB.
    std::vector<std::pair<std::string, std::uint64_t>> files;
    nfsStart = Clock::now();
    if (!delivery.List("", files, why)) return Fail(result, "COPY", why);
    result.nfsSeconds += Since(nfsStart);
    std::uint64_t total = 0;
    for (const auto &f : files) total += f.second;
    const std::uint64_t totalKiB = (total + 1023) / 1024;
    if (!dialogue.Report("COPY_WAIT", 1, "0/" + std::to_string(totalKiB), why)) return Fail(result, "COPY_WAIT", why);
    std::uint64_t done = 0, reported = 0;
    for (const auto &file : files) {
        const std::string &path = file.first;
        std::string content;
        nfsStart = Clock::now();
        const bool read = delivery.Read(path, content, why);
        result.nfsSeconds += Since(nfsStart);
        if (!read) {
            std::string ignored;
            dialogue.Report("COPY_WAIT", 2, "0 " + why, ignored);
            return Fail(result, "COPY", why);
        }
        if (!options.verifyFolder.empty() && !MatchesDelivery(options.verifyFolder, path, content, why))
            return Fail(result, "COPY", why);
        done += content.size();
        ++result.filesRead;
        const std::uint64_t doneKiB = done / 1024;
        if (totalKiB > 0 && (doneKiB - reported) * kCopyReports >= totalKiB) {
            reported = doneKiB;
            if (!dialogue.Report("COPY_WAIT", 3, std::to_string(doneKiB) + "/" + std::to_string(totalKiB), why, true))
                return Fail(result, "COPY_WAIT", why);
        }
    }
    result.bytesRead = done;
    Say("NFS: copied " + std::to_string(result.filesRead) + " files, " + Size(done) +
        (options.verifyFolder.empty() ? "" : ", each the same as the delivery's") + ", in " +
        std::to_string(result.nfsSeconds).substr(0, 5) + " s of NFS calls");
    if (!dialogue.Report("COPY_DONE", 1, std::to_string(totalKiB) + "/" + std::to_string(totalKiB), why))
        return Fail(result, "COPY_DONE", why);
    for (const char *step : {"UNEXPORT_FLASH_OK", "EUMOUNT_FLASH_OK", "UMOUNT_FLASH_OK", "BOOT_FLASH_OK", "SW_SIGN_OK"})
        if (!dialogue.Report(step, 1, "", why)) return Fail(result, step, why);
    delivery.Unmount();
    if (!dialogue.Report("UMOUNT_SERVER_OK", 1, "", why)) return Fail(result, "UMOUNT_SERVER_OK", why);
    if (!dialogue.Report("DISCONNECT", 1, "installed", why)) return Fail(result, "DISCONNECT", why);
    result.dialogueSeconds = Since(dialogueStart);
    result.ok = true;
    return result;
}

}  // namespace boardsim
