#include "output_file.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace {

using Name = NativeString;

// The NAME part of ".NAME.XXXXXX", after checking the decoration around it.
Name stem_of(const Name& name)
{
    EXPECT_GE(name.size(), 8U);
    EXPECT_EQ(name.front(), '.');
    EXPECT_EQ(name[name.size() - 7], '.');
    for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
        const auto c = name[i];
        EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            << "character " << i;
    }
    return name.substr(1, name.size() - 8);
}

Name repeated(const std::string& piece, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += piece;
    }
    return std::filesystem::path(std::u8string(text.begin(), text.end())).native();
}

struct NameCase {
    const char* what;
    Name target;
    std::size_t name_max;
    std::size_t stem_size; // in native units
};

void PrintTo(const NameCase& c, std::ostream* os)
{
    *os << c.what;
}

class TemporaryName : public testing::TestWithParam<NameCase> {};

TEST_P(TemporaryName, FitsTheFolderAndKeepsWholeCharacters)
{
    const NameCase& c = GetParam();
    std::uint64_t state = 42;
    const Name name = temporary_name(c.target, c.name_max, state);
    EXPECT_LE(name.size(), c.name_max);
    const Name stem = stem_of(name);
    EXPECT_EQ(stem.size(), c.stem_size);
    EXPECT_EQ(stem, c.target.substr(0, stem.size())) << "NAME is the start of the target's name";
}

// A 250-unit name must lose 3 units to fit 255; a name of two-unit characters
// (UTF-8 "é" on Linux) is cut before a character, not inside one.
INSTANTIATE_TEST_SUITE_P(Table, TemporaryName,
                         testing::Values(NameCase{"short", repeated("out", 1), 255, 3},
                                         NameCase{"exactly fits", repeated("n", 247), 255, 247},
                                         NameCase{"one unit too long", repeated("n", 248), 255,
                                                  247},
                                         NameCase{"250 units", repeated("n", 250), 255, 247},
                                         NameCase{"two-unit characters", repeated("\xC3\xA9", 130),
                                                  255, sizeof(Name::value_type) == 1 ? 246 : 130},
                                         NameCase{"no room at all", repeated("n", 20), 8, 0}),
                         [](const testing::TestParamInfo<NameCase>& param_info) {
                             std::string name = param_info.param.what;
                             for (char& c : name) {
                                 c = c == ' ' || c == '-' ? '_' : c;
                             }
                             return name;
                         });

TEST(TemporaryName, DiffersFromOneAttemptToTheNext)
{
    std::uint64_t state = 1;
    const Name first = temporary_name(repeated("out.dsp", 1), 255, state);
    const Name second = temporary_name(repeated("out.dsp", 1), 255, state);
    EXPECT_NE(first, second);
    EXPECT_EQ(stem_of(first), stem_of(second));
}

} // namespace
