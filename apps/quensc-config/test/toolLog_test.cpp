/* Tests of the tool's log: the line layout, the dropped trace level, and
 * that a library line carrying a connection password is masked. */
#include "toolLog.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

class ToolLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qcfg_log_test.XXXXXX";
        int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = pattern;
        ASSERT_TRUE(QcfgLog_Open(path_));
    }
    void TearDown() override
    {
        QcfgLog_Close();
        unlink(path_.c_str());
    }
    std::string Text()
    {
        std::stringstream s;
        s << std::ifstream(path_).rdbuf();
        return s.str();
    }
    std::string path_;
};

TEST_F(ToolLogTest, LineHasTimeProcessAndKind)
{
    QcfgLogInfo(1, "\tHello %d", 7);
    QcfgLogWarning(1, "careful");
    std::regex line(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\[\d+\]INFO   : \tHello 7
\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\[\d+\]WARNING: careful
)");
    EXPECT_TRUE(std::regex_match(Text(), line)) << Text();
}

TEST_F(ToolLogTest, TraceLevelIsDropped)
{
    QcfgLogInfo(2, "\tENTER (something)");
    EXPECT_EQ(Text(), "");
}

TEST_F(ToolLogTest, LibraryLinePasswordIsMasked)
{
    QcfgLog_LibraryLine("connect DSN=pg;UID=quensc;pwd=s3cret;Port=5432\n");
    std::string text = Text();
    EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
    EXPECT_NE(text.find("pwd=**********;Port=5432"), std::string::npos) << text;
}

} // namespace
