#include "files.h"

#include "log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {
constexpr int COPY_BLOCK_SIZE = 512;
constexpr mode_t COPY_MODE = 0644;
constexpr const char *BLANKS = " \t\r\n";
constexpr const char *GZ_SUFFIX = ".gz";
constexpr size_t GZ_SUFFIX_LENGTH = 3;
constexpr size_t MAX_UNCOMPRESSED_PATH = 151;   // directory and base name together
constexpr int UNCOMPRESS_BLOCK_SIZE = 16384;

struct Fd {
    int fd;
    ~Fd() { if (fd >= 0) close(fd); }
};

bool writeAll(int fd, const char *data, ssize_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= n;
    }
    return true;
}
}  // namespace

bool filesBreadable(const char *path)
{
    return access(path, R_OK) == 0;
}

int filesScopy(const char *source, const char *destination, bool append)
{
    if (access(source, R_OK) != 0) {
        morvVlog("filesScopy: %s - %s\n", source, strerror(errno));
        return -1;
    }
    Fd in{open(source, O_RDONLY)};
    if (in.fd < 0) {
        morvVlog("filesScopy - open: %s - %s\n", source, strerror(errno));
        return -1;
    }
    Fd out{open(destination, O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), COPY_MODE)};
    if (out.fd < 0) {
        morvVlog("filesScopy - open: %s - %s\n", destination, strerror(errno));
        return -1;
    }
    char block[COPY_BLOCK_SIZE];
    for (;;) {
        const ssize_t n = read(in.fd, block, sizeof block);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            morvVlog("filesScopy - read: %s - %s\n", source, strerror(errno));
            return -1;
        }
        if (!writeAll(out.fd, block, n)) {
            morvVlog("filesScopy - write: %s - %s\n", destination, strerror(errno));
            return -1;
        }
    }
}

int filesIrunShell(const char *command)
{
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int filesBdirExists(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        if (errno != ENOENT) morvVlog("filesBdirExists: error %d in stat: %s\n", errno, strerror(errno));
        return 0;
    }
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

void filesVtrim(char *text)
{
    const size_t start = strspn(text, BLANKS);
    size_t end = strlen(text);
    while (end > start && strchr(BLANKS, text[end - 1])) --end;
    memmove(text, text + start, end - start);
    text[end - start] = '\0';
}

bool filesBfield(const char *text, int index, std::string *field)
{
    const char *start = text;
    for (int i = 0; i < index; ++i) {
        start = strchr(start, '|');
        if (!start) return false;
        ++start;
    }
    const char *end = strchr(start, '|');
    field->assign(start, end ? static_cast<size_t>(end - start) : strlen(start));
    return true;
}

std::string filesSfieldWord(const char *line, int index)
{
    std::string text;
    if (!filesBfield(line, index, &text)) return "";
    const size_t start = text.find_first_not_of(BLANKS);
    if (start == std::string::npos) return "";
    return text.substr(start, text.find_first_of(BLANKS, start) - start);
}

int filesSreplaceLink(const char *target, const char *link)
{
    if (symlink(target, link) == 0) return 0;
    if (errno != EEXIST) return -1;
    // The old entry is replaced in one step, so the name never points nowhere.
    const std::string fresh = std::string(link) + ".new-link";
    unlink(fresh.c_str());
    if (symlink(target, fresh.c_str()) != 0) return -1;
    struct stat st;
    if (lstat(link, &st) == 0 && S_ISDIR(st.st_mode)) {
        unlink(fresh.c_str());
        errno = EISDIR;
        return -1;
    }
    if (rename(fresh.c_str(), link) != 0) {
        const int error = errno;
        unlink(fresh.c_str());
        errno = error;
        return -1;
    }
    return 0;
}

int filesSuncompress(const char *rest)
{
    if (!rest) {
        morvVlog("filesSuncompress: no file specified\n");
        return -1;
    }
    const std::string file = filesSfieldWord(rest, 0);
    if (file.empty()) {
        morvVlog("filesSuncompress: Error scanning gz-file name\n");
        return -1;
    }
    const std::string directory = filesSfieldWord(rest, 1);
    if (directory.empty()) {
        morvVlog("filesSuncompress: Error scanning destination directory name\n");
        return -1;
    }
    return filesOuncompressInDir(file.c_str(), directory.c_str()).empty() ? -1 : 0;
}

std::string filesOuncompressInDir(const char *file, const char *directory)
{
    const size_t length = strlen(file);
    if (length <= GZ_SUFFIX_LENGTH || strcmp(file + length - GZ_SUFFIX_LENGTH, GZ_SUFFIX) != 0) {
        morvVlog("filesOuncompressInDir: src file %s doesn't end with .gz\n", file);
        return "";
    }
    if (!filesBdirExists(directory)) {
        morvVlog("filesOuncompressInDir: destination %s doesn't exist !\n", directory);
        return "";
    }
    const char *slash = strrchr(file, '/');
    const std::string base(slash ? slash + 1 : file);
    if (strlen(directory) + base.size() > MAX_UNCOMPRESSED_PATH) {
        morvVlog("filesOuncompressInDir: output file name too long !!\n");
        return "";
    }
    std::string output = directory;
    if (output.empty() || output.back() != '/') output += '/';
    output += base.substr(0, base.size() - GZ_SUFFIX_LENGTH);

    gzFile in = gzopen(file, "rb");
    if (!in) {
        morvVlog("filesOuncompressInDir: can't gzopen %s\n", file);
        return "";
    }
    FILE *out = fopen(output.c_str(), "wb");
    if (!out) {
        morvVlog("filesOuncompressInDir: error %d (%s) opening file %s\n", errno, strerror(errno), output.c_str());
        gzclose(in);
        return "";
    }
    std::vector<char> block(UNCOMPRESS_BLOCK_SIZE);
    bool complete = true;
    for (;;) {
        const int n = gzread(in, block.data(), UNCOMPRESS_BLOCK_SIZE);
        if (n == 0) break;
        if (n < 0) {
            int code;
            morvVlog("filesOuncompressInDir: gzread failed (error: %s) in %s\n", gzerror(in, &code), file);
            complete = false;
            break;
        }
        if (fwrite(block.data(), 1, n, out) != static_cast<size_t>(n)) {
            morvVlog("filesOuncompressInDir: fwrite failed in file %s\n", output.c_str());
            complete = false;
            break;
        }
    }
    // A close that fails may have lost the last block (the file system filled up, the input ended early):
    // such an output is not a module or a file anyone should use.
    if (fclose(out) != 0) {
        if (complete) morvVlog("filesOuncompressInDir: fclose failed (file %s)\n", output.c_str());
        complete = false;
    }
    if (gzclose(in) != Z_OK) {
        if (complete) morvVlog("filesOuncompressInDir: gzclose failed (file %s)\n", file);
        complete = false;
    }
    if (!complete) {
        unlink(output.c_str());
        return "";
    }
    return output;
}
