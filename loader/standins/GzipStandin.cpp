// Stand-in for the outside "gzip" the loader runs beside itself to unpack a BIOS image: "gzip -df FILE.gz"
// replaces FILE.gz by FILE. Like gzip, it refuses what is not gzip data, leaves the compressed file and no
// partial output on any failure, and ends with 1 then (0 on success).
#include <zlib.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char kSuffix[] = ".gz";

int Fail(const std::string &file, const char *why)
{
    std::fprintf(stderr, "gzip: %s: %s\n", file.c_str(), why);
    return 1;
}

bool HasGzipMagic(const std::string &path)
{
    unsigned char magic[2] = {};
    FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    const bool ok = std::fread(magic, 1, 2, file) == 2 && magic[0] == 0x1F && magic[1] == 0x8B;
    std::fclose(file);
    return ok;
}

int Decompress(const std::string &source, bool force)
{
    const size_t suffix = std::strlen(kSuffix);
    if (source.size() <= suffix || source.compare(source.size() - suffix, suffix, kSuffix) != 0)
        return Fail(source, "unknown suffix -- ignored");
    const std::string target = source.substr(0, source.size() - suffix);
    if (!force && GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES)
        return Fail(target, "already exists");
    if (!HasGzipMagic(source)) return Fail(source, "not in gzip format");

    gzFile in = gzopen(source.c_str(), "rb");
    if (!in) return Fail(source, "cannot open");
    FILE *out = std::fopen(target.c_str(), "wb");
    if (!out) {
        gzclose(in);
        return Fail(target, "cannot create");
    }
    bool ok = true;
    char buffer[65536];
    for (;;) {
        const int got = gzread(in, buffer, sizeof buffer);
        if (got < 0) ok = false;
        if (got <= 0) break;
        if (std::fwrite(buffer, 1, static_cast<size_t>(got), out) != static_cast<size_t>(got)) {
            ok = false;
            break;
        }
    }
    // A truncated or damaged stream shows at the latest when the reader is closed.
    if (gzclose(in) != Z_OK) ok = false;
    if (std::fclose(out) != 0) ok = false;
    if (!ok) {
        DeleteFileA(target.c_str());
        return Fail(source, "invalid compressed data");
    }
    DeleteFileA(source.c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    bool decompress = false, force = false;
    int result = 0, files = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.size() > 1 && argument[0] == '-') {
            for (char option : argument.substr(1)) {
                if (option == 'd') decompress = true;
                else if (option == 'f') force = true;
                else return Fail(argument, "option not supported by this stand-in");
            }
            continue;
        }
        if (!decompress) return Fail(argument, "only -d is supported by this stand-in");
        ++files;
        if (Decompress(argument, force) != 0) result = 1;
    }
    return files == 0 ? Fail("", "no file given") : result;
}
