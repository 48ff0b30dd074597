// Runs every case of the Unicode Consortium's WordBreakTest.txt through the word
// segmenter. The file's path is the first argument, or MORVANE_WORD_BREAK_TEST.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "word_break.h"

namespace {

std::string g_test_file;

struct Case {
  int line;
  std::string text;              // the code points as UTF-8
  std::vector<size_t> expected;  // byte offsets of the boundaries, both ends included
  std::string source;
};

// A data line reads "÷ 0041 × 0308 ÷ 0020 ÷	# comment".
std::vector<Case> read_cases(const std::string& path) {
  std::ifstream in(path);
  std::vector<Case> cases;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string data = line.substr(0, line.find('#'));
    std::istringstream fields(data);
    Case c{number, {}, {}, line};
    for (std::string field; fields >> field;) {
      if (field == "\xC3\xB7") {  // ÷
        c.expected.push_back(c.text.size());
      } else if (field != "\xC3\x97") {  // ×
        mn::unicode::append_utf8(c.text, static_cast<char32_t>(std::stoul(field, nullptr, 16)));
      }
    }
    if (!c.expected.empty()) cases.push_back(std::move(c));
  }
  return cases;
}

std::vector<size_t> segment_boundaries(std::string_view text) {
  std::vector<size_t> boundaries{0};
  size_t covered = 0;
  mn::unicode::for_each_word_segment(text, [&](size_t begin, size_t end) {
    EXPECT_EQ(begin, covered) << "segments must be contiguous";
    EXPECT_LT(begin, end) << "segments must not be empty";
    covered = end;
    boundaries.push_back(end);
  });
  return boundaries;
}

TEST(WordBreak, EveryConformanceCasePasses) {
  std::vector<Case> cases = read_cases(g_test_file);
  // A missing or truncated file must fail, not pass with nothing checked.
  ASSERT_GT(cases.size(), 1000u) << "no test cases read from '" << g_test_file << "'";
  for (const Case& c : cases) {
    EXPECT_EQ(segment_boundaries(c.text), c.expected) << "line " << c.line << ": " << c.source;
  }
}

TEST(WordBreak, EmptyTextHasNoSegment) {
  int calls = 0;
  mn::unicode::for_each_word_segment("", [&](size_t, size_t) { ++calls; });
  EXPECT_EQ(calls, 0);
}

TEST(WordBreak, MalformedUtf8IsSegmentedLikeReplacementCharacters) {
  // Each stray byte decodes as U+FFFD (Other), so each is a segment of its own.
  EXPECT_EQ(segment_boundaries("a\xFF\xFE" "b"), (std::vector<size_t>{0, 1, 2, 3, 4}));
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc > 1) {
    g_test_file = argv[1];
  } else if (const char* env = std::getenv("MORVANE_WORD_BREAK_TEST")) {
    g_test_file = env;
  } else {
    g_test_file = "/usr/share/unicode/auxiliary/WordBreakTest.txt";
  }
  return RUN_ALL_TESTS();
}
