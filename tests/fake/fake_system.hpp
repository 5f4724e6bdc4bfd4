// A scripted system layer, linked into a test in place of a real one: each
// step answers what the script says and is written down in calls.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "system.hpp"

struct FakeSystem {
    TargetKind kind = TargetKind::missing;
    std::deque<Status> creations; // create_beside's answers in turn; done once used up
    Status in_place;              // open_in_place's answer
    Status stream;                // whether a stream can be made
    Status replace;               // replace_with's answer

    std::vector<std::string> calls; // each step, with the name it was given
    bool armed = false;             // an interruption would clean up now
};

// The script and the record of the current test; reset by each test.
FakeSystem& fake_system();
