// The ".tav" document format: the bytes of known choices, long and UTF-16 strings, and files that end early
// or lie about their lengths, which are refused and change nothing.
#include "TavFile.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

MainPageRecord KnownMain()
{
    MainPageRecord main;
    main.deliveryFolder = "C:\\Deliv\\R30";
    main.options = {1, 0, 1, 1, 0, 1};
    main.countries = {"de", "fr"};
    main.selectedCountry = 1;
    return main;
}

// The known choices with one field changed.
template <typename T, typename V>
MainPageRecord With(T MainPageRecord::*field, V value)
{
    MainPageRecord main = KnownMain();
    main.*field = value;
    return main;
}

std::string Int(std::uint32_t value)
{
    return {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
            static_cast<char>(value >> 24)};
}

}  // namespace

TEST(TavFile, KnownChoicesAreSavedByteForByte)
{
    const std::string expected = "\x0C"s + "C:\\Deliv\\R30" + Int(1) + Int(0) + Int(1) + Int(1) + Int(0) + Int(1) +
                                 Int(2) + "\x02" "de" + "\x02" "fr" + Int(1) + Int(2) + "\x07" "D:\\Save";
    EXPECT_EQ(expected, WriteTavFile(KnownMain(), {2, "D:\\Save"}));

    MainPageRecord main;
    InstallTypeRecord type;
    std::string error;
    ASSERT_TRUE(ReadTavFile(expected, main, type, error)) << error;
    EXPECT_EQ(KnownMain(), main);
    EXPECT_EQ((InstallTypeRecord{2, "D:\\Save"}), type);

    // No selection is -1; a page never shown stores type 1 and no folder.
    MainPageRecord none;
    EXPECT_EQ("\x00"s + Int(0) + Int(0) + Int(0) + Int(0) + Int(0) + Int(0) + Int(0) + Int(0xFFFFFFFF) + Int(1) + "\x00"s,
              WriteTavFile(none, InstallTypeRecord()));
}

TEST(TavFile, LongStringsTakeTheEscapedPrefixes)
{
    const std::pair<size_t, std::string> cases[] = {
        {254, "\xFE"},
        {255, "\xFF\xFF\x00"s},
        {0xFFFD, "\xFF\xFD\xFF"},
        {0xFFFE, "\xFF\xFF\xFF\xFE\xFF\x00\x00"s},
        {70000, "\xFF\xFF\xFF"s + Int(70000)},
    };
    for (const auto &[length, prefix] : cases) {
        MainPageRecord main;
        main.deliveryFolder = std::string(length, 'x');
        const std::string bytes = WriteTavFile(main, {0, "s"});
        EXPECT_EQ(prefix, bytes.substr(0, prefix.size())) << length;
        MainPageRecord read;
        InstallTypeRecord type;
        std::string error;
        ASSERT_TRUE(ReadTavFile(bytes, read, type, error)) << length << " " << error;
        EXPECT_EQ(main.deliveryFolder, read.deliveryFolder) << length;
        EXPECT_EQ("s", type.storageFolder) << length;
    }
}

TEST(TavFile, Utf16StringsAreReadIntoTheAnsiCodePage)
{
    // "D\xE9p" as UTF-16 with a one-byte length, then a country of 300 UTF-16 letters with a word length.
    std::string bytes = "\xFF\xFE\xFF\x03" "D\x00\xE9\x00p\x00"s;
    for (int i = 0; i < 6; ++i) bytes += Int(0);
    bytes += Int(1) + "\xFF\xFE\xFF\xFF\x2C\x01"s;
    for (int i = 0; i < 300; ++i) bytes += "a\x00"s;
    bytes += Int(0) + Int(3) + "\xFF\xFE\xFF\x00"s;
    MainPageRecord main;
    InstallTypeRecord type;
    std::string error;
    ASSERT_TRUE(ReadTavFile(bytes, main, type, error)) << error;
    EXPECT_EQ("D\xE9p", main.deliveryFolder);
    ASSERT_EQ(1u, main.countries.size());
    EXPECT_EQ(std::string(300, 'a'), main.countries[0]);
    EXPECT_EQ(3, type.installationType);
    EXPECT_EQ("", type.storageFolder);
}

TEST(TavFile, AFileThatEndsEarlyOrLiesIsRefusedAndChangesNothing)
{
    const std::string whole = WriteTavFile(KnownMain(), {2, "D:\\Save"});
    const MainPageRecord before = KnownMain();
    for (size_t size = 0; size < whole.size(); ++size) {
        MainPageRecord main = before;
        InstallTypeRecord type{3, "kept"};
        std::string error;
        EXPECT_FALSE(ReadTavFile(whole.substr(0, size), main, type, error)) << size;
        EXPECT_FALSE(error.empty()) << size;
        EXPECT_EQ(before, main) << size;
        EXPECT_EQ((InstallTypeRecord{3, "kept"}), type) << size;
    }
    const std::string lies[] = {
        "\x00"s + Int(0) + Int(0) + Int(0) + Int(0) + Int(0) + Int(0) + Int(0x80000000),  // negative count
        "\x00"s + Int(0) + Int(0) + Int(0) + Int(0) + Int(0) + Int(0) + Int(0x7FFFFFFF),  // count beyond the file
        "\xFF\xFF\xFF\xFF\xFF\xFF\x7F",                                                  // 2 GiB string
        "\xFF\xFE\xFF\xFF\xFE\xFF\x01" "a\x00"s,                                          // a second UTF-16 mark
        WriteTavFile(KnownMain(), {99, "D:\\Save"}),                                       // unknown types
        WriteTavFile(KnownMain(), {-5, "D:\\Save"}),
        WriteTavFile(KnownMain(), {4, "D:\\Save"}),
        WriteTavFile(KnownMain(), {2, "D:\\Sa\0ve"s}),                                      // NULs inside
        WriteTavFile(With(&MainPageRecord::deliveryFolder, "C:\\Deliv\0\\R30"s), {2, "D:\\Save"}),
        WriteTavFile(With(&MainPageRecord::countries, std::vector<std::string>{"de", "f\0r"s}), {2, ""}),
        WriteTavFile(With(&MainPageRecord::selectedCountry, 1000), {2, ""}),               // out of range
        WriteTavFile(With(&MainPageRecord::selectedCountry, -7), {2, ""}),
        WriteTavFile(With(&MainPageRecord::selectedCountry, 2), {2, ""}),
        WriteTavFile(With(&MainPageRecord::options, std::array<std::int32_t, 6>{1, 0, 1000, 1, 0, 1}), {2, ""}),
        WriteTavFile(With(&MainPageRecord::options, std::array<std::int32_t, 6>{1, 0, 1, 1, -7, 1}), {2, ""}),
    };
    for (const std::string &bytes : lies) {
        MainPageRecord main;
        InstallTypeRecord type{3, "kept"};
        std::string error;
        EXPECT_FALSE(ReadTavFile(bytes, main, type, error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(MainPageRecord(), main);
        EXPECT_EQ((InstallTypeRecord{3, "kept"}), type);
    }
}
