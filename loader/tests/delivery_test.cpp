// Reading fixture deliveries, the tree helpers, and filling the boot folder for each kind of delivery.
#include "AppFixture.h"
#include "BootFolder.h"
#include "Delivery.h"
#include "DeliveryFixture.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace fixture;

namespace {

class DeliveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_boardType.clear();
        g_bMigrationTarget = false;
        RemoveTree(GetTftpbootPath());
    }
    void TearDown() override
    {
        RemoveTree(GetTftpbootPath());
        RemoveTree(GetAppFilePath("iplboot"));
        RemoveTree(GetAppFilePath("migration_bin"));
        g_bMigrationTarget = false;
    }

    std::string Boot(const std::string &name) const { return GetTftpbootPath() + "\\" + name; }

    TempFolder m_delivery{"tavi_delivery"};
};

}  // namespace

TEST_F(DeliveryTest, DeliveryPathKeepsExactlyOneTrailingBackslash)
{
    CDelivery delivery;
    delivery.SetDeliveryPath("C:\\deliveries\\r8\\\\");
    EXPECT_EQ("C:\\deliveries\\r8\\", delivery.DeliveryPath());
    delivery.SetDeliveryPath("C:\\deliveries\\r8");
    EXPECT_EQ("C:\\deliveries\\r8\\", delivery.DeliveryPath());
    delivery.SetDeliveryPath("");
    EXPECT_EQ("", delivery.DeliveryPath());
}

TEST_F(DeliveryTest, ReadsANewStyleDelivery)
{
    MakeNewStyleDelivery(m_delivery.Path(), "PMR_R800.005 | Telephony 8.0 | 2004 | ABC", "TOLMA");
    CDelivery delivery;
    delivery.SetDeliveryPath(m_delivery.Path());
    ASSERT_TRUE(delivery.ReadDelivery()) << delivery.LastErrorText();
    EXPECT_EQ("PMR_R800.005 - Telephony 8.0", delivery.GetReleaseText());
    EXPECT_EQ(800, delivery.Version());
    EXPECT_EQ(5, delivery.SubVersion());
    EXPECT_EQ(31, delivery.KernelNumber());
    EXPECT_EQ((std::vector<std::string>{"fr", "de"}), delivery.Countries());
    EXPECT_TRUE(delivery.IsNewStyleDelivery());

    ASSERT_TRUE(delivery.ReadBoardType());
    EXPECT_EQ("TOLMA", g_boardType);
}

TEST_F(DeliveryTest, AVuskoBoardReadsItsOwnCountryMarker)
{
    MakeNewStyleDelivery(m_delivery.Path(), "PMR_R810.001 | Vusko", "VUSKO");
    CDelivery delivery;
    delivery.SetDeliveryPath(m_delivery.Path());
    ASSERT_TRUE(delivery.ReadBoardType());
    EXPECT_EQ("VUSKO", g_boardType);
    ASSERT_TRUE(delivery.ReadDelivery());
    EXPECT_EQ((std::vector<std::string>{"it"}), delivery.Countries());
}

TEST_F(DeliveryTest, OnlyCommentsCountAsAReadReleaseWithVersionZero)
{
    WriteTextFile(m_delivery.Path() + "\\DownloadingItems\\boot\\config.rc", "# one\r\n   # two\r\n\r\n");
    CDelivery delivery;
    delivery.SetDeliveryPath(m_delivery.Path());
    EXPECT_TRUE(delivery.ReadDelivery());
    EXPECT_EQ(" - ", delivery.GetReleaseText());
    EXPECT_EQ(0, delivery.Version());
    EXPECT_FALSE(delivery.IsNewStyleDelivery());
}

TEST_F(DeliveryTest, AMissingConfigFailsWithTheSystemText)
{
    CDelivery delivery;
    delivery.SetDeliveryPath(m_delivery.Path());
    std::string text = "unchanged";
    EXPECT_FALSE(delivery.ReadDeliveryRelease(text));
    EXPECT_EQ("unchanged", text);
    EXPECT_FALSE(delivery.LastErrorText().empty());
    EXPECT_NE(std::string::npos, delivery.ErrorContext().find("config.rc"));
    EXPECT_FALSE(delivery.ReadDelivery());
}

TEST_F(DeliveryTest, TheBoardTypeIsTheFirstBoardElementByNameInAnyFolder)
{
    // A folder name with letters outside ASCII, in the ANSI code page as the folder browser gives it.
    const std::string folder = m_delivery.Path() + "\\Livraison d\xE9p\xF4t";
    WriteTextFile(folder + "\\DownloadingItems\\boot\\hw_req.xml",
                  "<?xml version=\"1.0\"?>\n<!-- board type=\"NONE\" -->\n<hardware xmlns=\"urn:qeltools:hw\">\n"
                  "  <cpu type=\"P3\"><boards/></cpu>\n  <slot><board type=\"VUSKO\"/></slot>\n"
                  "  <board type=\"TOLMA\"/>\n</hardware>\n");
    CDelivery delivery;
    delivery.SetDeliveryPath(folder);
    apptest::DialogAnswerer box(IDOK, 2000);
    EXPECT_TRUE(delivery.ReadBoardType()) << delivery.LastErrorText();
    EXPECT_FALSE(box.Wait()) << box.message;
    EXPECT_EQ("VUSKO", g_boardType);
}

TEST_F(DeliveryTest, ABoardTypeLongerThan255CharactersIsRefusedWithTheDeliverysError)
{
    for (size_t length : {255u, 256u, 3000u}) {
        WriteTextFile(m_delivery.Path() + "\\DownloadingItems\\boot\\hw_req.xml",
                      "<hardware><board type=\"" + std::string(length, 'T') + "\"/></hardware>");
        CDelivery delivery;
        delivery.SetDeliveryPath(m_delivery.Path());
        g_boardType = "earlier";
        const bool read = delivery.ReadBoardType();
        if (length == 255) {
            EXPECT_TRUE(read);
            EXPECT_EQ(std::string(255, 'T'), g_boardType);
            continue;
        }
        EXPECT_FALSE(read) << length;
        EXPECT_EQ("", g_boardType) << length;
        EXPECT_FALSE(delivery.LastErrorText().empty()) << length;
        EXPECT_NE(std::string::npos, delivery.ErrorContext().find("hw_req.xml")) << length;
    }
}

TEST_F(DeliveryTest, AMissingBoardDescriptionIsShownAndFails)
{
    MakeOldStyleDelivery(m_delivery.Path());
    CDelivery delivery;
    delivery.SetDeliveryPath(m_delivery.Path());
    apptest::DialogAnswerer box;
    EXPECT_FALSE(delivery.ReadBoardType());
    EXPECT_TRUE(box.Wait());
    EXPECT_EQ("", g_boardType);
}

TEST_F(DeliveryTest, NewStyleBootFolderGetsFlatBootFilesAndTheBootListByVersionAndBoard)
{
    struct Case {
        const char *release;
        const char *board;
        const char *bootList;
    };
    const Case cases[] = {{"PMR_R799.001 | r", "VUSKO", "install_flash.tftp"},
                          {"PMR_R800.001 | r", "VUSKO", "install_VUSKO.tftp"},
                          {"PMR_R800.001 | r", "TOLMA", "install_Dravenle.tftp"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bootList);
        RemoveTree(m_delivery.Path());
        CreateDirectoryA(m_delivery.Path().c_str(), nullptr);
        MakeNewStyleDelivery(m_delivery.Path(), c.release, c.board);
        CDelivery delivery;
        delivery.SetDeliveryPath(m_delivery.Path());
        ASSERT_TRUE(delivery.ReadBoardType());
        ASSERT_TRUE(delivery.EmptyDirectory(GetTftpbootPath()));
        std::string release;
        std::vector<std::string> countries;
        ASSERT_TRUE(PrepareTftpboot(delivery, release, countries)) << delivery.LastErrorText() << delivery.ErrorContext();
        EXPECT_EQ(std::string(c.release).substr(0, 12) + " - r", release);
        EXPECT_FALSE(countries.empty());
        EXPECT_EQ((std::vector<std::string>{c.bootList, "ramdisk.gz", "vmlinuz"}), FolderEntries(GetTftpbootPath()));
        EXPECT_EQ("vmlinuz;12;BIN;1046016;1046016\n", ReadTextFile(Boot(c.bootList)));
        EXPECT_EQ("kernel image", ReadTextFile(Boot("vmlinuz")));
    }
}

TEST_F(DeliveryTest, ADeliveryWithoutBootListStillSucceeds)
{
    MakeNewStyleDelivery(m_delivery.Path(), "PMR_R800.001 | r", "TOLMA", false);
    CDelivery delivery;
    delivery.SetDeliveryPath(m_delivery.Path());
    std::string release;
    std::vector<std::string> countries;
    ASSERT_TRUE(PrepareTftpboot(delivery, release, countries));
    EXPECT_EQ((std::vector<std::string>{"ramdisk.gz", "vmlinuz"}), FolderEntries(GetTftpbootPath()));
}

TEST_F(DeliveryTest, OldStyleBootFolderGetsTheProgramsBootFiles)
{
    MakeOldStyleDelivery(m_delivery.Path());
    WriteTextFile(GetAppFilePath("iplboot\\tormel_flash.tftp"), "ipl.bin;3;BIN;1;1\n");
    WriteTextFile(GetAppFilePath("iplboot\\ipl.bin"), "ipl");
    CDelivery delivery;
    delivery.SetDeliveryPath(m_delivery.Path());
    std::string release;
    std::vector<std::string> countries = {"kept"};
    ASSERT_TRUE(PrepareTftpboot(delivery, release, countries)) << delivery.LastErrorText();
    EXPECT_EQ("TAVI_R250.001 - Old release 2.5", release);
    EXPECT_EQ(std::vector<std::string>{"kept"}, countries);
    EXPECT_EQ((std::vector<std::string>{"install_flash.tftp", "ipl.bin"}), FolderEntries(GetTftpbootPath()));
    EXPECT_EQ("ipl.bin;3;BIN;1;1\n", ReadTextFile(Boot("install_flash.tftp")));
}

TEST_F(DeliveryTest, AnOldStyleDeliveryWithoutTheProgramsBootFilesFails)
{
    MakeOldStyleDelivery(m_delivery.Path());
    CDelivery delivery;
    delivery.SetDeliveryPath(m_delivery.Path());
    std::string release;
    std::vector<std::string> countries;
    EXPECT_FALSE(PrepareTftpboot(delivery, release, countries));
    EXPECT_NE(std::string::npos, delivery.ErrorContext().find("iplboot -> ")) << delivery.ErrorContext();
    EXPECT_TRUE(FolderEntries(GetTftpbootPath()).empty());
}

TEST_F(DeliveryTest, TheMigrationPassCopiesTheMigrationFilesOnTop)
{
    MakeNewStyleDelivery(m_delivery.Path(), "PMR_R800.001 | r", "TOLMA");
    WriteTextFile(GetAppFilePath("migration_bin\\migrate.bin"), "migration");
    CDelivery delivery;
    delivery.SetDeliveryPath(m_delivery.Path());
    std::string release;
    std::vector<std::string> countries;
    ASSERT_TRUE(PrepareTftpboot(delivery, release, countries));
    g_bMigrationTarget = true;
    ASSERT_TRUE(PrepareTftpboot(delivery, release, countries));
    EXPECT_EQ((std::vector<std::string>{"install_Dravenle.tftp", "migrate.bin", "ramdisk.gz", "vmlinuz"}),
              FolderEntries(GetTftpbootPath()));
}

TEST_F(DeliveryTest, ABootFolderThatIsAFileFailsEveryPreparation)
{
    MakeNewStyleDelivery(m_delivery.Path(), "PMR_R800.001 | r", "TOLMA");
    WriteTextFile(GetTftpbootPath(), "not a folder");
    CDelivery delivery;
    delivery.SetDeliveryPath(m_delivery.Path());
    std::string release;
    std::vector<std::string> countries;
    apptest::DialogAnswerer box;
    EXPECT_FALSE(PrepareTftpboot(delivery, release, countries));
    ASSERT_TRUE(box.Wait());
    EXPECT_EQ("Error tftpboot directory should be a directory", box.message);
    EXPECT_EQ("not a folder", ReadTextFile(GetTftpbootPath()));
    DeleteFileA(GetTftpbootPath().c_str());
}

TEST_F(DeliveryTest, AMissingKernelFolderFailsWithAContextNamingIt)
{
    MakeNewStyleDelivery(m_delivery.Path(), "PMR_R800.001 | r", "TOLMA");
    RemoveTree(m_delivery.Path() + "\\DownloadingItems\\inskrn");
    CDelivery delivery;
    delivery.SetDeliveryPath(m_delivery.Path());
    std::string release;
    std::vector<std::string> countries;
    EXPECT_FALSE(PrepareTftpboot(delivery, release, countries));
    EXPECT_NE(std::string::npos, delivery.ErrorContext().find("inskrn -> ")) << delivery.ErrorContext();
    EXPECT_FALSE(delivery.LastErrorText().empty());
}

TEST_F(DeliveryTest, CopyTreeTakesTheVprmptFolderButNotItsSubFoldersOrLookAlikes)
{
    const std::string source = m_delivery.Path() + "\\DownloadingItems\\voice";
    WriteTextFile(source + "\\top.txt", "top");
    WriteTextFile(source + "\\vprmpt\\prompt.wav", "prompt");
    WriteTextFile(source + "\\vprmpt\\fr\\deep.wav", "deep");
    WriteTextFile(source + "\\vprmpt_fr\\other.wav", "other");
    WriteTextFile(source + "\\sub\\inner.txt", "inner");
    TempFolder target("tavi_copytree");
    CDelivery delivery;
    ASSERT_TRUE(delivery.CopyTree(source, target.Path()));
    const std::string copied = target.Path() + "\\voice";
    EXPECT_EQ((std::vector<std::string>{"sub", "top.txt", "vprmpt"}), FolderEntries(copied));
    EXPECT_EQ(std::vector<std::string>{"prompt.wav"}, FolderEntries(copied + "\\vprmpt"));
    EXPECT_EQ("inner", ReadTextFile(copied + "\\sub\\inner.txt"));

    delivery.SetCancelled(true);
    TempFolder untouched("tavi_copytree_cancelled");
    EXPECT_TRUE(delivery.CopyTree(source, untouched.Path()));
    EXPECT_TRUE(FolderEntries(untouched.Path()).empty());
    EXPECT_FALSE(delivery.CopyFiles(source, untouched.Path()));
    EXPECT_FALSE(delivery.MoveFiles(source, untouched.Path()));
}

TEST_F(DeliveryTest, EmptyDirectoryCreatesEmptiesAndRefusesAPatternThatDoesNotFit)
{
    CDelivery delivery;
    const std::string folder = m_delivery.Path() + "\\boot";
    ASSERT_TRUE(delivery.EmptyDirectory(folder));
    EXPECT_TRUE(CDelivery::IsFolderEmpty(folder));
    WriteTextFile(folder + "\\a.txt", "a");
    WriteTextFile(folder + "\\sub\\b.txt", "b");
    EXPECT_FALSE(CDelivery::IsFolderEmpty(folder));
    ASSERT_TRUE(delivery.EmptyDirectory(folder));
    EXPECT_TRUE(FolderEntries(folder).empty());
    EXPECT_TRUE(delivery.EmptyDirectory(folder)) << "nothing to delete is a success";

    std::string deep = m_delivery.Path();
    while (deep.size() < 200) deep += "\\abcdefghijklmnopqrstuvwxyz";
    deep = deep.substr(0, 197);
    ASSERT_NE('\\', deep.back());
    WriteTextFile(deep + "\\keep.txt", "keep");
    EXPECT_FALSE(delivery.EmptyDirectory(deep));
    EXPECT_EQ("keep", ReadTextFile(deep + "\\keep.txt"));
    EXPECT_NE(std::string::npos, delivery.ErrorContext().find("\\*.*"));
}

TEST_F(DeliveryTest, AFailedShellCopyIsAFailure)
{
    const std::string source = m_delivery.Path() + "\\files";
    WriteTextFile(source + "\\a.txt", "a");
    WriteTextFile(source + "\\b.txt", "b");
    const std::string blocker = m_delivery.Path() + "\\blocker";
    WriteTextFile(blocker, "a file where the folder should be");
    CDelivery delivery;
    EXPECT_FALSE(delivery.CopyFiles(source, blocker));
    EXPECT_FALSE(delivery.LastErrorText().empty());
    const std::string empty = m_delivery.Path() + "\\empty";
    CreateDirectoryA(empty.c_str(), nullptr);
    EXPECT_TRUE(delivery.CopyFiles(empty, m_delivery.Path())) << "no match is a success";
    EXPECT_FALSE(delivery.CopyFiles(m_delivery.Path() + "\\missing", m_delivery.Path())) << "a missing folder is not";
    EXPECT_NE(std::string::npos, delivery.ErrorContext().find("missing"));
}

namespace {

int g_shellResult = 0;
BOOL g_shellAborted = FALSE;
int WINAPI ChosenShellResult(LPSHFILEOPSTRUCTA operation)
{
    operation->fAnyOperationsAborted = g_shellAborted;
    return g_shellResult;
}

}  // namespace

TEST_F(DeliveryTest, AShellOperationFailsOnAnErrorOrAnAbortAlone)
{
    const std::string source = m_delivery.Path() + "\\files";
    WriteTextFile(source + "\\a.txt", "a");
    CDelivery delivery;
    CDelivery::s_shellFileOperation = ChosenShellResult;
    const std::tuple<int, BOOL, bool> cases[] = {{0, FALSE, true}, {ERROR_ACCESS_DENIED, FALSE, false}, {0, TRUE, false}};
    for (const auto &[result, aborted, succeeds] : cases) {
        g_shellResult = result;
        g_shellAborted = aborted;
        EXPECT_EQ(succeeds, delivery.CopyFiles(source, m_delivery.Path())) << result << " " << aborted;
        EXPECT_EQ(succeeds, delivery.MoveFiles(source, m_delivery.Path())) << result << " " << aborted;
        EXPECT_EQ(succeeds, delivery.EmptyDirectory(source)) << result << " " << aborted;
    }
    CDelivery::s_shellFileOperation = SHFileOperationA;
}

TEST_F(DeliveryTest, DeleteTreeRemovesReadOnlyFilesAndKeepsAQuitMessage)
{
    const std::string tree = m_delivery.Path() + "\\tree";
    WriteTextFile(tree + "\\a.txt", "a");
    WriteTextFile(tree + "\\sub\\b.txt", "b");
    SetFileAttributesA((tree + "\\sub\\b.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    CDelivery delivery;
    PostQuitMessage(3);
    EXPECT_TRUE(delivery.DeleteTree(tree + "\\"));
    EXPECT_FALSE(FileExists(tree));
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(3u, msg.wParam);
    EXPECT_FALSE(delivery.DeleteTree(tree));
}
