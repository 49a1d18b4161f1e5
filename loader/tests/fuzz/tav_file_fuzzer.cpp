// libFuzzer target: arbitrary bytes as a ".tav" file. A refused file leaves the records exactly as they
// were; an accepted one saves and reads back to the same records. Lengths are checked against what is left
// of the file before anything is allocated, so no input makes the reader allocate beyond its size.
#include "TavFile.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Check(bool condition)
{
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    MainPageRecord main;
    main.deliveryFolder = "kept";
    main.countries = {"fr"};
    InstallTypeRecord type{2, "kept"};
    const MainPageRecord mainBefore = main;
    const InstallTypeRecord typeBefore = type;
    std::string error;
    if (!ReadTavFile(bytes, main, type, error)) {
        Check(!error.empty());
        Check(main == mainBefore && type == typeBefore);
        return 0;
    }
    Check(main.countries.size() <= size);
    MainPageRecord again;
    InstallTypeRecord typeAgain;
    Check(ReadTavFile(WriteTavFile(main, type), again, typeAgain, error));
    Check(again == main && typeAgain == type);
    return 0;
}
