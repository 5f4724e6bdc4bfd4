#include <cstdio>

#include "fake_system.hpp"

namespace {

void record(const NativeTarget& target, const char* step, const std::string& name = "")
{
    std::string call = target.found ? step : std::string(step) + " before find";
    fake_system().calls.push_back(name.empty() ? call : call + " " + name);
}

} // namespace

FakeSystem& fake_system()
{
    static FakeSystem system;
    return system;
}

OutputTarget::~OutputTarget() = default;

Status OutputTarget::find(const char*)
{
    native_.found = true;
    record(native_, "find");
    kind_ = fake_system().kind;
    name_ = "out.dsp";
    return Status{};
}

bool OutputTarget::is_same_file(std::FILE*) const
{
    return false;
}

Status OutputTarget::create_beside(const NativeString& name)
{
    record(native_, "create_beside", name);
    FakeSystem& fake = fake_system();
    Status status;
    if (!fake.creations.empty()) {
        status = fake.creations.front();
        fake.creations.pop_front();
    }
    fake.armed = fake.armed || status.ok();
    return status;
}

Status OutputTarget::open_in_place()
{
    record(native_, "open_in_place");
    return fake_system().in_place;
}

Status OutputTarget::open_direct()
{
    record(native_, "open_direct");
    return Status{};
}

Status OutputTarget::stream(std::FILE*& stream)
{
    record(native_, "stream");
    const Status status = fake_system().stream;
    stream = status.ok() ? std::tmpfile() : nullptr;
    return stream != nullptr || !status.ok() ? status : Status{Outcome::failed, 0};
}

Status OutputTarget::empty_in_place()
{
    record(native_, "empty_in_place");
    fake_system().armed = true;
    return Status{};
}

Status OutputTarget::replace_with(const NativeString& name)
{
    record(native_, "replace_with", name);
    FakeSystem& fake = fake_system();
    fake.armed = fake.armed && !fake.replace.ok();
    return fake.replace;
}

void OutputTarget::keep_in_place()
{
    record(native_, "keep_in_place");
    fake_system().armed = false;
}

void OutputTarget::remove_beside(const NativeString& name)
{
    record(native_, "remove_beside", name);
    fake_system().armed = false;
}

void OutputTarget::discard_in_place()
{
    record(native_, "discard_in_place");
    fake_system().armed = false;
}
