// Messages, the log file, fatal errors, allocation, joining, the option word.
#include "kxtest.h"
#include "libkxfsutil.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <regex>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

class Messages : public testing::Test {
protected:
    void SetUp() override {
        dir_ = kxtest::temp_dir("kxlog");
        log_ = dir_ + "/records.log";
        saved_level_ = kxfsutil_debug_level;
    }
    void TearDown() override {
        kxfsutil_debug_level = saved_level_;
        // set_log keeps its copies for the process; release them per test.
        free(kxfsutil_debug_logfile);
        free(kxfsutil_debug_progname);
        kxfsutil_debug_logfile = nullptr;
        kxfsutil_debug_progname = nullptr;
        std::filesystem::remove_all(dir_);
    }
    std::string dir_, log_;
    int saved_level_ = 0;
};

const char *kStamp = "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{4}";

TEST_F(Messages, NoLogFileMeansNoRecordAndResultZero) {
    set_log(3, nullptr, "prog");
    EXPECT_EQ(kxfsutil_debug_logfile, nullptr);
    CaptureStderr();
    debug_print(3, "trace %d\n", 1);
    EXPECT_EQ(GetCapturedStderr(), "trace 1\n");
    va_list none{};
    EXPECT_EQ(write_log("x", none, 1), 0);
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(Messages, RecordHasTimestampProgramNameAndMessage) {
    set_log(3, log_.c_str(), "kxprog");
    CaptureStdout();
    warning(0, "moved %s to %d", "cow", 7);
    EXPECT_EQ(GetCapturedStdout(), "Warning: moved cow to 7\n");
    std::string record = kxtest::read_file(log_);
    EXPECT_TRUE(std::regex_match(record, std::regex(std::string(kStamp) + " kxprog : moved cow to 7\n")))
        << record;
}

TEST_F(Messages, RecordWithoutProgramName) {
    set_log(3, log_.c_str(), nullptr);
    CaptureStderr();
    debug_print(4, "no newline");
    EXPECT_EQ(GetCapturedStderr(), "no newline");
    std::string record = kxtest::read_file(log_);
    EXPECT_TRUE(std::regex_match(record, std::regex(std::string(kStamp) + " : no newline"))) << record;
}

TEST_F(Messages, ErrorTextGoesToConsoleButNotToLog) {
    set_log(2, log_.c_str(), "p");
    CaptureStderr();
    werror(ENOENT, "Can't read version kxfs '%s'", "/a/VERSION");
    EXPECT_EQ(GetCapturedStderr(),
              "Error: Can't read version kxfs '/a/VERSION': No such file or directory\n");
    std::string record = kxtest::read_file(log_);
    EXPECT_NE(record.find(": Can't read version kxfs '/a/VERSION'\n"), std::string::npos) << record;
    EXPECT_EQ(record.find("No such file"), std::string::npos);
}

TEST_F(Messages, ConsoleAndLogAreFormattedFromTheirOwnArguments) {
    set_log(3, log_.c_str(), "p");
    CaptureStderr();
    werror(0, "%s|%d|%s|%ld|%s", "alpha", 42, "beta", 123456789012L, "gamma");
    EXPECT_EQ(GetCapturedStderr(), "Error: alpha|42|beta|123456789012|gamma\n");
    EXPECT_NE(kxtest::read_file(log_).find(": alpha|42|beta|123456789012|gamma\n"), std::string::npos);
}

TEST_F(Messages, WarningsAndErrorsAreSilentAtLevelOne) {
    kxfsutil_debug_level = 1;
    CaptureStdout();
    CaptureStderr();
    warning(0, "hidden");
    werror(EIO, "hidden too");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(GetCapturedStdout(), "");
    kxfsutil_debug_level = 2;
    CaptureStdout();
    warning(0, "shown");
    EXPECT_EQ(GetCapturedStdout(), "Warning: shown\n");
}

TEST_F(Messages, NullFormatPrintsAndLogsNothing) {
    set_log(4, log_.c_str(), "p");
    CaptureStderr();
    debug_print(1, nullptr);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_FALSE(kxtest::exists(log_));
}

TEST_F(Messages, UnopenableLogFileKeepsTheConsole) {
    std::string bad = dir_ + "/missing/dir/log";
    set_log(3, bad.c_str(), "p");
    CaptureStderr();
    error(0, 0, "still printed");
    EXPECT_EQ(GetCapturedStderr(), "Error: still printed\n");
    va_list none{};
    EXPECT_EQ(write_log("x", none, 0), -1);
}

TEST_F(Messages, ErrorWithStatusZeroReturns) {
    kxfsutil_debug_level = 0;
    CaptureStderr();
    error(0, EACCES, "denied '%s'", "f");
    EXPECT_EQ(GetCapturedStderr(), "Error: denied 'f': Permission denied\n");
}

// Names and texts that are arguments come out with control bytes, DEL and
// backslashes escaped, on the console and in the log; the format's own
// text (its newline, its tab) and every other argument as printf makes them.
TEST_F(Messages, StringArgumentsAreEscapedTheFormatIsNot) {
    struct Case {
        std::string name;
        std::string shown;
    } cases[] = {
        {"plain/name.txt", "plain/name.txt"},
        {"x\nCorrection: 'cow' 'y' is removed", "x\\x0aCorrection: 'cow' 'y' is removed"},
        {"\033[2J\033]0;title\a", "\\x1b[2J\\x1b]0;title\\x07"},
        {"tab\there\rdel\x7f", "tab\\x09here\\x0ddel\\x7f"},
        {"back\\slash", "back\\\\slash"},
        {"caf\xc3\xa9 \xe9t\xe9", "caf\xc3\xa9 \xe9t\xe9"},
    };
    set_log(3, log_.c_str(), "p");
    for (const Case &c : cases) {
        std::filesystem::remove(log_);
        CaptureStdout();
        CaptureStderr();
        warning(0, "w '%s'\t%d", c.name.c_str(), 7);
        werror(EIO, "e '%s'", c.name.c_str());
        debug_print(3, "t %-3s|%.4s|%5.2f|%c\n", c.name.c_str(), "abcdefgh", 2.5, 'z');
        EXPECT_EQ(GetCapturedStdout(), "Warning: w '" + c.shown + "'\t7\n") << c.shown;
        EXPECT_EQ(GetCapturedStderr(), "Error: e '" + c.shown + "': Input/output error\n" +
                                           "t " + c.shown + "|abcd| 2.50|z\n")
            << c.shown;
        std::string log = kxtest::read_file(log_);
        for (const std::string &record :
             {" p : w '" + c.shown + "'\t7\n", " p : e '" + c.shown + "'\n",
              " p : t " + c.shown + "|abcd| 2.50|z\n"})
            EXPECT_NE(log.find(record), std::string::npos) << record << " not in " << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;
    }
}

// The hook of a host program gets the text as made, not escaped.
TEST_F(Messages, HookGetsTheTextAsMade) {
    std::string got;
    set_message_hook([](void *data, int, const char *text) { *static_cast<std::string *>(data) = text; },
                     &got);
    debug_print(3, "t '%s'\n", "a\nb");
    set_message_hook(nullptr, nullptr);
    EXPECT_EQ(got, "t 'a\nb'\n");
}

TEST(MessagesDeath, ErrorEndsTheProcessWithItsStatusAfterLogging) {
    std::string dir = kxtest::temp_dir("kxlog");
    std::string log = dir + "/log";
    EXPECT_EXIT(
        {
            set_log(0, log.c_str(), "p");
            error(1, 0, "fatal %d", 3);
        },
        testing::ExitedWithCode(1), "Error: fatal 3");
    EXPECT_NE(kxtest::read_file(log).find(": fatal 3\n"), std::string::npos);
    EXPECT_EXIT(error(255, 0, "Bug: %s(%d), function '%s()'", "src/correct", 9, "correct"),
                testing::ExitedWithCode(255), "Bug: src/correct\\(9\\), function 'correct\\(\\)'");
    std::filesystem::remove_all(dir);
}

TEST(Memory, XmallocIsZeroFilled) {
    for (size_t size : {1, 17, 4096, 1 << 20}) {
        auto *p = static_cast<unsigned char *>(xmalloc(size));
        for (size_t i = 0; i < size; ++i)
            ASSERT_EQ(p[i], 0) << "size " << size << " byte " << i;
        free(p);
    }
}

TEST(MemoryDeath, ExhaustedMemoryIsFatal) {
    EXPECT_EXIT(xmalloc(SIZE_MAX / 2), testing::ExitedWithCode(1),
                "Error: not enough memory for [0-9]+ bytes: Cannot allocate memory");
}

TEST(Strings, JoinWithSeparators) {
    auto joined = [](char *p) {
        std::string s(p);
        free(p);
        return s;
    };
    EXPECT_EQ(joined(xstring2('/', "a", "b")), "a/b");
    EXPECT_EQ(joined(xstring2('/', "", "b")), "/b");
    EXPECT_EQ(joined(xstring2('/', "a", "")), "a/");
    EXPECT_EQ(joined(xstring3('.', "x", "y", "z")), "x.y.z");
    EXPECT_EQ(joined(xstring3('.', "/a/VERSION", "bak", "bak")), "/a/VERSION.bak.bak");
    EXPECT_EQ(joined(xstrdup("copy")), "copy");
    std::string long_name(100000, 'n');
    EXPECT_EQ(joined(xstring2('/', long_name.c_str(), long_name.c_str())).size(), 200001u);
}

TEST(OptionWord, StartsAtZeroAndKeepsUnknownBits) {
    EXPECT_EQ(get_option(), 0u);
    set_option(0x40000 | 0x8 | 0x1);
    set_option(static_cast<int>(get_option() | 0x20));
    EXPECT_EQ(get_option(), 0x40000u | 0x8 | 0x1 | 0x20);
    set_option(0);
}

TEST(Gethash, WorkedValue) {
    EXPECT_EQ(static_cast<uint32_t>(gethash("abc", 3)), 0x7308E52Eu);
    EXPECT_EQ(static_cast<uint32_t>(gethash("abc", 3)) & 0xFFFF, 0xE52Eu);
}

}  // namespace
