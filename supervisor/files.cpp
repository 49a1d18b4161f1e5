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
constexpr const char *GZ_SUFFIX = ".gz";
constexpr size_t GZ_SUFFIX_LENGTH = 3;
constexpr size_t MAX_UNCOMPRESSED_PATH = 151;   // directory and base name together
constexpr int UNCOMPRESS_BLOCK_SIZE = 16384;
constexpr int GZIP_WINDOW_BITS = 15 + 16;       // the largest window, gzip framing only

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
// Inflates the gzip members of IN into OUT in blocks. Only a stream that ends where its trailer says is
// whole: the reading functions of zlib let some cut streams pass as a short file.
bool inflateFile(FILE *in, FILE *out, const char *file, const char *output)
{
    z_stream stream{};
    if (inflateInit2(&stream, GZIP_WINDOW_BITS) != Z_OK) {
        morvVlog("filesOuncompressInDir: gzread failed (error: %s) in %s\n", "out of memory", file);
        return false;
    }
    std::vector<unsigned char> input(UNCOMPRESS_BLOCK_SIZE), block(UNCOMPRESS_BLOCK_SIZE);
    int status = Z_OK;
    bool fine = true;
    while (fine) {
        stream.avail_in = static_cast<uInt>(fread(input.data(), 1, input.size(), in));
        stream.next_in = input.data();
        if (ferror(in)) {
            morvVlog("filesOuncompressInDir: gzread failed (error: %s) in %s\n", strerror(errno), file);
            fine = false;
        }
        if (stream.avail_in == 0) break;
        do {
            // Another member may follow the end of one.
            if (status == Z_STREAM_END) inflateReset(&stream);
            stream.next_out = block.data();
            stream.avail_out = static_cast<uInt>(block.size());
            status = inflate(&stream, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
                morvVlog("filesOuncompressInDir: gzread failed (error: %s) in %s\n",
                         stream.msg ? stream.msg : zError(status), file);
                fine = false;
                break;
            }
            const size_t produced = block.size() - stream.avail_out;
            if (fwrite(block.data(), 1, produced, out) != produced) {
                morvVlog("filesOuncompressInDir: fwrite failed in file %s\n", output);
                fine = false;
                break;
            }
        } while (stream.avail_out == 0 || (status == Z_STREAM_END && stream.avail_in > 0));
    }
    if (fine && status != Z_STREAM_END) {
        morvVlog("filesOuncompressInDir: gzread failed (error: %s) in %s\n", "unexpected end of file", file);
        fine = false;
    }
    inflateEnd(&stream);
    return fine;
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
    // What the program has printed comes before what the command prints on the same console.
    fflush(stdout);
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

std::string filesStrim(const std::string &text)
{
    const size_t start = text.find_first_not_of(FILES_BLANKS);
    if (start == std::string::npos) return "";
    return text.substr(start, text.find_last_not_of(FILES_BLANKS) - start + 1);
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
    text = filesStrim(text);
    return text.substr(0, text.find_first_of(FILES_BLANKS));
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

    FILE *in = fopen(file, "rb");
    if (!in) {
        morvVlog("filesOuncompressInDir: can't gzopen %s\n", file);
        return "";
    }
    FILE *out = fopen(output.c_str(), "wb");
    if (!out) {
        morvVlog("filesOuncompressInDir: error %d (%s) opening file %s\n", errno, strerror(errno), output.c_str());
        fclose(in);
        return "";
    }
    bool complete = inflateFile(in, out, file, output.c_str());
    fclose(in);
    // A close that fails may have lost the last block (the file system filled up): such an output is not a
    // module or a file anyone should use.
    if (fclose(out) != 0) {
        if (complete) morvVlog("filesOuncompressInDir: fclose failed (file %s)\n", output.c_str());
        complete = false;
    }
    if (!complete) {
        unlink(output.c_str());
        return "";
    }
    return output;
}
