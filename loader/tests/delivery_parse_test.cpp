// What the loader reads from a delivery's config.rc, the server helpers' text rules and the boot lists.
#include "BootFolder.h"
#include "Delivery.h"
#include "ExtService.h"

#include <gtest/gtest.h>

TEST(ReleaseLine, VersionSubVersionAndTextOfAPlainRelease)
{
    DeliveryRelease release = ParseReleaseLine("PMR_R800.005 | Telephony 8.0  | 2004 | ABC");
    EXPECT_EQ(800, release.version);
    EXPECT_EQ(5, release.subVersion);
    EXPECT_EQ("PMR_R800.005 - Telephony 8.0", release.text);
}

TEST(ReleaseLine, RceAndOneMultiplyTheVersionAndOneRelabels)
{
    DeliveryRelease release = ParseReleaseLine("RCE_R007.003_ONE|Release|x|ONE|");
    EXPECT_EQ(7 * 100 * 100, release.version);
    EXPECT_EQ("ONE_R007.003_ONE - Release", release.text);

    release = ParseReleaseLine("RCE_R031.002|Release|x|XYZ");
    EXPECT_EQ(310, release.version);
    EXPECT_EQ("RCE_R031.002 - Release", release.text);

    release = ParseReleaseLine("ONE_R004.001|Release");
    EXPECT_EQ(400, release.version);
}

TEST(ReleaseLine, ShortAndEmptyLinesGiveZerosAndNeverReadPastTheLine)
{
    DeliveryRelease release = ParseReleaseLine("");
    EXPECT_EQ(0, release.version);
    EXPECT_EQ(0, release.subVersion);
    EXPECT_EQ(" - ", release.text);

    release = ParseReleaseLine("PMR_R8");
    EXPECT_EQ(8, release.version);
    EXPECT_EQ(0, release.subVersion);
    EXPECT_EQ("PMR_R8 - ", release.text);

    release = ParseReleaseLine("PMR_RABC.DEF|");
    EXPECT_EQ(0, release.version);
    EXPECT_EQ("PMR_RABC.DEF - ", release.text);
}

TEST(ConfigLines, KernelNumberCountriesAndStyle)
{
    const std::vector<std::string> lines = {"PMR_R800.005 | x", "kernel100_031_smp", "kernel100_099",
                                            "dasig_FR.tgz", "dasig_de.tgz", "dacm_it.tgz", "dasig_pt"};
    int kernel = 7;
    EXPECT_TRUE(FindKernelNumber(lines, kernel));
    EXPECT_EQ(31, kernel);
    EXPECT_FALSE(FindKernelNumber({"no kernel"}, kernel));
    EXPECT_EQ(31, kernel);
    EXPECT_TRUE(FindKernelNumber({"kernel100_"}, kernel));
    EXPECT_EQ(0, kernel);

    EXPECT_EQ((std::vector<std::string>{"fr", "de", "pt"}), FindCountries(lines, "TOLMA"));
    EXPECT_EQ((std::vector<std::string>{"it"}), FindCountries(lines, "VUSKO"));

    EXPECT_TRUE(IsNewStyleRelease("PMR_R800 - x"));
    EXPECT_TRUE(IsNewStyleRelease("ONE_R800 - x"));
    EXPECT_FALSE(IsNewStyleRelease("TAVI_R250 - pmr"));
    EXPECT_EQ("", FindReleaseLine({}));
}

TEST(ServerHelpers, IncrementIpAddressAddsOneToTheLastNumber)
{
    EXPECT_EQ("192.168.0.2", IncrementIpAddress("192.168.0.1"));
    EXPECT_EQ("10.1.2.10", IncrementIpAddress("10.1.2.9"));
    EXPECT_EQ("10.1.2.256", IncrementIpAddress("10.1.2.255"));
    EXPECT_EQ("10.1.2.2147483648", IncrementIpAddress("10.1.2.2147483647")) << "no 32-bit wrap";
}

TEST(BootLists, NameByVersionAndBoardType)
{
    EXPECT_STREQ("install_flash.tftp", BootListName(799, "VUSKO"));
    EXPECT_STREQ("install_VUSKO.tftp", BootListName(800, "VUSKO"));
    EXPECT_STREQ("install_Dravenle.tftp", BootListName(800, "TOLMA"));
    EXPECT_STREQ("install_Dravenle.tftp", BootListName(800, ""));
}

TEST(BootLists, BiosListHasItsThreeLinesWithLineFeedsOnly)
{
    EXPECT_EQ("pmr_bios.hex;1500000;HEX;1048576;1048576\nnone;0;STOP;0;0\nnone;0;BOOT;0;4294967295\n",
              BiosBootList(1500000));
    EXPECT_EQ("pmr_bios.hex;5;HEX;1048576;1048576\n", BiosBootList(0x100000005ull).substr(0, 35));
}

TEST(BootLists, SeveralRecordsShareALine)
{
    EXPECT_EQ("ram;7;RAMDISK;5242880;0;boot;0;BOOT;0;1046016\n",
              BootListLine({{"ram", 7, "RAMDISK", 5242880, 0}, {"boot", 0, "BOOT", 0, 1046016}}));
}
