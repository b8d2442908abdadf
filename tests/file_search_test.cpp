// contains(): searching an open file for a text.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "common/pub_common.h"
#include "tests/support/CaptureOutput.h"

namespace {

// A temporary file holding the bytes given; closed and gone when the test ends.
class TextFile {
  public:
    explicit TextFile(const std::string& bytes) : m_file(tmpfile()) {
        fwrite(bytes.data(), 1, bytes.size(), m_file);
        fflush(m_file);
    }
    ~TextFile() { fclose(m_file); }
    FILE* get() { return m_file; }

  private:
    FILE* m_file;
};

int Search(const std::string& fileBytes, std::string text, std::string* printed = nullptr) {
    TextFile file(fileBytes);
    CaptureOutput capture;
    const int result = contains(&text[0], static_cast<int>(text.size()) + 1, file.get());
    if (printed != nullptr) {
        *printed = capture.Out();
    }
    return result;
}

TEST(Contains, FindsATextAnywhereUpToTheVeryEndOfTheFile) {
    std::string printed;
    EXPECT_EQ(-1, Search("hello world", "world", &printed));
    EXPECT_EQ("contains OK\n", printed);
    EXPECT_EQ(-1, Search("hello world", "hello"));
    EXPECT_EQ(-1, Search("hello world", "o w"));
    EXPECT_EQ(0, Search("hello world", "worlds", &printed));
    EXPECT_EQ("", printed);
}

TEST(Contains, FileShorterThanTheTextIsNotSearched) {
    EXPECT_EQ(0, Search("abc", "abcd"));
    EXPECT_EQ(0, Search("", "a"));
}

TEST(Contains, LineFeedEndsTheComparedLine) {
    EXPECT_EQ(0, Search("xxab\ncdyy", "ab\ncd"));  // fgets stops after the line feed
    EXPECT_EQ(-1, Search("xab\ny", "ab\n"));
}

TEST(Contains, NoMatchSpansANulByte) {
    EXPECT_EQ(0, Search(std::string("xa\0by", 5), "ab"));
    EXPECT_EQ(-1, Search(std::string("x\0aby", 5), "ab"));
}

TEST(Contains, EmptyTextIsFoundInAnySeekableFile) {
    std::string printed;
    EXPECT_EQ(-1, Search("", "", &printed));
    EXPECT_EQ("contains OK\n", printed);
    EXPECT_EQ(-1, Search("abc", ""));
}

TEST(Contains, SizeBelowOneFindsNothingAndPrintsNothing) {
    TextFile file("abc");
    char text[] = "abc";
    CaptureOutput capture;
    EXPECT_EQ(0, contains(text, 0, file.get()));
    EXPECT_EQ(0, contains(text, -4, file.get()));
    EXPECT_EQ("", capture.Out());
}

TEST(Contains, StreamWithoutAPositionIsNotRead) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    ASSERT_EQ(6, write(fds[1], "needle", 6));
    close(fds[1]);
    FILE* stream = fdopen(fds[0], "r");
    char text[] = "needle";
    {
        CaptureOutput capture;
        EXPECT_EQ(0, contains(text, 7, stream));
        EXPECT_EQ("", capture.Out());
    }
    char rest[16] = "";
    EXPECT_NE(nullptr, fgets(rest, sizeof rest, stream));
    EXPECT_STREQ("needle", rest);
    fclose(stream);
}

}  // namespace
