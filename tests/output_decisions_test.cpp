// The decisions of the output's life, driven through a scripted system layer:
// which steps are taken, in which order, and what each outcome leads to.
#include <algorithm>
#include <cstddef>
#include <deque>
#include <map>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "fake_system.hpp"
#include "output_file.hpp"

namespace {

constexpr Status DONE{};
constexpr Status TAKEN{Outcome::name_taken, 17};
constexpr Status REFUSED{Outcome::refused, 13};
constexpr Status NO_SPACE{Outcome::no_space, 28};
constexpr Status FAILED{Outcome::failed, 5};

struct Decision {
    const char* what;
    TargetKind kind;
    std::deque<Status> creations;
    Status in_place;
    Status stream;
    Status replace;
    Status opened;     // what open_output answers
    Status committed;  // what commit_output answers, once opened
    const char* steps; // temporary names as TMP1, TMP2, ... in order of making
};

void PrintTo(const Decision& d, std::ostream* os)
{
    *os << d.what;
}

// The steps taken, joined by ", ", each temporary name replaced by its
// number, after checking that it is one of the target's: ".out.dsp." and six
// more characters.
std::string steps_taken()
{
    std::map<std::string, std::string> numbers;
    std::string steps;
    for (const std::string& call : fake_system().calls) {
        steps += steps.empty() ? "" : ", ";
        const std::size_t space = call.find(' ');
        if (space == std::string::npos) {
            steps += call;
            continue;
        }
        const std::string name = call.substr(space + 1);
        EXPECT_EQ(name.rfind(".out.dsp.", 0), 0U) << name;
        EXPECT_EQ(name.size(), 15U) << name;
        const auto [entry, added] =
            numbers.emplace(name, "TMP" + std::to_string(numbers.size() + 1));
        steps += call.substr(0, space + 1) + entry->second;
    }
    return steps;
}

class OutputDecision : public testing::TestWithParam<Decision> {};

TEST_P(OutputDecision, TakesTheStepsInOrderAndDisarmsAtTheEnd)
{
    const Decision& d = GetParam();
    FakeSystem& fake = fake_system();
    fake = FakeSystem{};
    fake.kind = d.kind;
    fake.creations = d.creations;
    fake.in_place = d.in_place;
    fake.stream = d.stream;
    fake.replace = d.replace;

    OutputTarget target;
    ASSERT_TRUE(target.find("out.dsp").ok());
    OutputFile output;
    char buffer[64];
    const Status opened = open_output(output, target, buffer, sizeof buffer);
    EXPECT_EQ(opened.outcome, d.opened.outcome);
    EXPECT_EQ(opened.error, d.opened.error) << "the system's error code is kept";
    if (opened.ok()) {
        EXPECT_EQ(fake.armed, d.kind != TargetKind::direct)
            << "an interruption while writing cleans up";
        const Status committed = commit_output(output, target);
        EXPECT_EQ(committed.outcome, d.committed.outcome);
        EXPECT_EQ(committed.error, d.committed.error);
        if (!committed.ok()) {
            discard_output(output, target);
        }
    } else {
        EXPECT_EQ(output.stream, nullptr);
    }
    EXPECT_FALSE(fake.armed) << "the clean-up is disarmed once the run is over";
    EXPECT_EQ(steps_taken(), d.steps);
}

constexpr const char* NEW_FILE = "find, create_beside TMP1, stream, replace_with TMP1";
using K = TargetKind;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, OutputDecision, testing::Values(
    //        what                                               kind         creations        in_place stream  replace  opened    committed
    Decision{"new_file",                                         K::missing,  {},              DONE,    DONE,   DONE,    DONE,     DONE,
             NEW_FILE},
    Decision{"existing_file",                                    K::existing, {},              DONE,    DONE,   DONE,    DONE,     DONE,
             NEW_FILE},
    Decision{"taken_names_are_drawn_again",                      K::missing,  {TAKEN, TAKEN},  DONE,    DONE,   DONE,    DONE,     DONE,
             "find, create_beside TMP1, create_beside TMP2, create_beside TMP3, stream, replace_with TMP3"},
    Decision{"no_space_is_never_written_in_place",               K::existing, {NO_SPACE},      DONE,    DONE,   DONE,    NO_SPACE, DONE,
             "find, create_beside TMP1"},
    Decision{"other_failures_are_never_written_in_place",        K::existing, {FAILED},        DONE,    DONE,   DONE,    FAILED,   DONE,
             "find, create_beside TMP1"},
    Decision{"refused_for_a_file_to_replace_writes_in_place",    K::existing, {REFUSED},       DONE,    DONE,   DONE,    DONE,     DONE,
             "find, create_beside TMP1, open_in_place, stream, empty_in_place, keep_in_place"},
    Decision{"refused_for_a_new_file_is_final",                  K::missing,  {REFUSED},       DONE,    DONE,   DONE,    REFUSED,  DONE,
             "find, create_beside TMP1"},
    Decision{"in_place_refused_too",                             K::existing, {REFUSED},       REFUSED, DONE,   DONE,    REFUSED,  DONE,
             "find, create_beside TMP1, open_in_place"},
    Decision{"no_stream_removes_the_temporary_file",             K::missing,  {},              DONE,    FAILED, DONE,    FAILED,   DONE,
             "find, create_beside TMP1, stream, remove_beside TMP1"},
    Decision{"no_stream_in_place_keeps_the_old_contents",        K::existing, {REFUSED},       DONE,    FAILED, DONE,    FAILED,   DONE,
             "find, create_beside TMP1, open_in_place, stream"},
    Decision{"failed_replace_removes_the_temporary_file",        K::missing,  {},              DONE,    DONE,   FAILED,  DONE,     FAILED,
             "find, create_beside TMP1, stream, replace_with TMP1, remove_beside TMP1"},
    Decision{"a_folder_that_keeps_its_names_is_written_in_place", K::in_place, {},             DONE,    DONE,   DONE,    DONE,     DONE,
             "find, open_in_place, stream, empty_in_place, keep_in_place"},
    Decision{"a_device_is_written_directly",                     K::direct,   {},              DONE,    DONE,   DONE,    DONE,     DONE,
             "find, open_direct, stream"}),
    [](const testing::TestParamInfo<Decision>& param_info) { return std::string(param_info.param.what); });
// clang-format on

TEST(OutputDecision, GivesUpWhenEveryNameDrawnIsTaken)
{
    FakeSystem& fake = fake_system();
    fake = FakeSystem{};
    fake.creations.assign(1000, TAKEN);
    OutputTarget target;
    ASSERT_TRUE(target.find("out.dsp").ok());
    OutputFile output;
    char buffer[64];
    const Status opened = open_output(output, target, buffer, sizeof buffer);
    EXPECT_EQ(opened.outcome, Outcome::failed);
    const std::string steps = steps_taken();
    EXPECT_EQ(std::count(steps.begin(), steps.end(), ','), 100) << "find and 100 names drawn";
    EXPECT_TRUE(steps.ends_with(", create_beside TMP100")) << "every name drawn is another";
}

} // namespace
