/* Tests of the logging module (frame/log): result texts at the edges of the table, the exact
 * lines and levels the three log functions hand to the host, the 1023
 * character cut, the quiet switch, the stderr sink without a host, panics,
 * and reading whole text files. */
#include "frame/log.h"

#include "recording_host.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {

TEST(ResultText, KnownCodesAndEveryGap)
{
    EXPECT_STREQ(QuenScResultText(0), "OK");
    EXPECT_STREQ(QuenScResultText(1), "SERVER DID NOT START");
    EXPECT_STREQ(QuenScResultText(16), "PASSWORD CANT CHANGE");
    EXPECT_STREQ(QuenScResultText(43), "LDAP OBJECT NOT FOUND");
    EXPECT_STREQ(QuenScResultText(45), "INSTANCE IS VALID");
    for (int code : {44, 46, -1, 1000, INT_MIN, INT_MAX})
        EXPECT_STREQ(QuenScResultText(code), "UNKNOWN ERROR") << code;
    /* every code of the enum has a text of its own */
    for (int code = 0; code <= 43; code++)
        EXPECT_STRNE(QuenScResultText(code), "UNKNOWN ERROR") << code;
}

class LogTest : public ::testing::Test {
protected:
    void TearDown() override { QuenScSetQuiet(false); }
    RecordingHost host_;
};

TEST_F(LogTest, LinesCarryPrefixLevelAndFile)
{
    QuenScLogInfo("Reading configuration file: %s...", "/x/quensc.conf");
    QuenScLogError("Cannot open file %s", "/x/quensc.conf");
    std::vector<RecordedLine> lines = host_.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "QUENSC: Reading configuration file: /x/quensc.conf...");
    EXPECT_EQ(lines[0].level, QUENSC_LOG_NOTICE);
    EXPECT_EQ(lines[0].file, "apps/quensc/frame/log");
    EXPECT_GT(lines[0].line, 0);
    EXPECT_EQ(lines[1].text, "QUENSC: Cannot open file /x/quensc.conf");
    EXPECT_EQ(lines[1].level, QUENSC_LOG_WARNING);
    EXPECT_EQ(lines[1].file, "apps/quensc/frame/log");
}

TEST_F(LogTest, LongMessagesAreCutAt1023Characters)
{
    std::string message;
    for (int i = 0; i < 2000; i++)
        message += (char)('a' + i % 26);
    QuenScLogError("%s", message.c_str());
    QuenScLogInfo("%s", message.substr(0, 1023).c_str());
    QuenScLogInfo("%s", message.substr(0, 1024).c_str());
    std::vector<std::string> texts = host_.Texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "QUENSC: " + message.substr(0, 1023));
    EXPECT_EQ(texts[1], texts[0]);
    EXPECT_EQ(texts[2], texts[0]);
}

TEST_F(LogTest, QuietDropsInformationOnly)
{
    QuenScSetQuiet(true);
    QuenScLogInfo("probe %d", 1);
    QuenScLogError("still here");
    QuenScSetQuiet(false);
    QuenScLogInfo("probe %d", 2);
    EXPECT_EQ(host_.Texts(), (std::vector<std::string>{"QUENSC: still here", "QUENSC: probe 2"}));
}

TEST_F(LogTest, ConcurrentLinesStayWhole)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; i++)
                QuenScLogError("thread %d line %d %s", t, i, std::string(300, (char)('a' + t)).c_str());
        });
    for (std::thread &t : threads)
        t.join();
    std::vector<std::string> texts = host_.Texts();
    ASSERT_EQ(texts.size(), 800u);
    for (const std::string &text : texts) {
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(text.c_str(), "QUENSC: thread %d line %d", &t, &i), 2) << text;
        EXPECT_EQ(text.substr(text.size() - 300), std::string(300, (char)('a' + t)));
    }
}

TEST(LogWithoutHost, GoesToStderrWithPrefix)
{
    QuenScSetLogHost(nullptr);
    ::testing::internal::CaptureStderr();
    QuenScLogInfo("hello %d", 5);
    QuenScLogError("oops");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "[notice] QUENSC: hello 5\n[warn] QUENSC: oops\n");
}

TEST(PanicDeathTest, LogsCriticalThenCallsHostFatal)
{
    EXPECT_EXIT(
        {
            RecordingHost host;
            QuenScPanic("Unrecoverable %s", "state");
        },
        ::testing::ExitedWithCode(3), "logged 2: QUENSC: Unrecoverable state\nfatal panic\\(\\) at apps/quensc/frame/log:[0-9]+");
}

TEST(PanicDeathTest, AbortsWithoutHost)
{
    QuenScSetLogHost(nullptr);
    EXPECT_DEATH(QuenScPanic("no host %d", 9), "\\[crit\\] QUENSC: no host 9");
}

/* A scratch folder for files, removed with its content afterwards. */
class ReadTextFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quensc_util_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    std::string Write(const std::string &name, const std::string &bytes)
    {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    RecordingHost host_;
    std::string dir_;
};

TEST_F(ReadTextFileTest, WholeFileAcrossChunks)
{
    std::string content;
    for (int i = 0; i < 10000; i++)
        content += (char)('0' + i % 43);
    std::string path = Write("big.txt", content);
    char *text = QuenScReadTextFile(host_.pool(), path.c_str());
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), content);
    EXPECT_EQ(host_.Texts(), std::vector<std::string>{"QUENSC: Read text file: " + path + " with 10000 bytes."});
}

TEST_F(ReadTextFileTest, EmptyFileGivesEmptyText)
{
    std::string path = Write("empty.txt", "");
    char *text = QuenScReadTextFile(host_.pool(), path.c_str());
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(host_.Texts(), std::vector<std::string>{"QUENSC: Read text file: " + path + " with 0 bytes."});
}

TEST_F(ReadTextFileTest, ZeroByteCutsItsChunkOnly)
{
    /* chunk one: "head", a zero byte and filler; chunk two: "tail" */
    std::string content = "head" + std::string(1, '\0') + std::string(4091, 'x') + "tail";
    std::string path = Write("zero.bin", content);
    char *text = QuenScReadTextFile(host_.pool(), path.c_str());
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "headtail");
    EXPECT_EQ(host_.Texts(), std::vector<std::string>{"QUENSC: Read text file: " + path + " with 4100 bytes."});
}

TEST_F(ReadTextFileTest, MissingFolderAndNullPath)
{
    std::string missing = dir_ + "/missing.crt";
    EXPECT_EQ(QuenScReadTextFile(host_.pool(), missing.c_str()), nullptr);
    EXPECT_EQ(host_.Texts(),
              std::vector<std::string>{"QUENSC: Failed to open file: " + missing + " (No such file or directory)"});

    host_.Clear();
    EXPECT_EQ(QuenScReadTextFile(host_.pool(), nullptr), nullptr);
    EXPECT_TRUE(host_.Texts().empty());

    /* a folder opens but cannot be read: no text passes for its content */
    EXPECT_EQ(QuenScReadTextFile(host_.pool(), dir_.c_str()), nullptr);
    EXPECT_EQ(host_.Texts(), std::vector<std::string>{"QUENSC: Failed to read file: " + dir_ + " (Is a directory)"});
}

} // namespace
