// A configuration library without one of its entry points: the binding names the symbol and fails.
#include "board_fixture.h"

#include "dlibmgt.h"

using namespace board;

namespace {

class MissingSymbol : public BoardTest {};

TEST_F(MissingSymbol, TheBindingFailsAndNamesTheSymbol)
{
    EXPECT_EQ(-1, dlibmgtSbindLibraries());
    EXPECT_TRUE(logHas("dlibmgtSinit - confSfind_item: "));
    EXPECT_NE(nullptr, g_boardLibs.confSparse_config);
    EXPECT_EQ(nullptr, g_boardLibs.conf_error);
    EXPECT_EQ(nullptr, g_boardLibs.sckapi);
    dlibmgtVunloadAll();
    EXPECT_EQ(nullptr, g_boardLibs.config);
}

}  // namespace
